#pragma once

#include <QMetaObject>
#include <QStringList>
#include <QtGlobal>

#include <chrono>
#include <optional>
#include <vector>

class QByteArray;

class QProcess;

namespace cordavelle {
class ManagedProcess;
}

namespace cordavelle::test {

// Whether `pid` is a process that has not ended: one that is gone, or a zombie, has.
bool isAlive(qint64 pid);

// Sends `signal` to `pid` if it is a child of this process (an ended one not yet reaped still
// is), and says whether it did. Nothing else gets it: no pid at all (0 or less, which kill()
// takes for a whole process group, the test run's own among them), nor a process this one did
// not start, nor another's that was given the number of a child already reaped.
bool signalChild(std::optional<qint64> pid, int signal);

// Sends `signal` to `pid` if its environment holds `variable` ("NAME=value", a value of the
// test's own such as its home), and says whether it did: for a process that a child of the test
// started and left behind (a daemon, a grandchild), no longer the test's child itself.
bool signalProcessWith(std::optional<qint64> pid, const QByteArray &variable, int signal);

// One process, held from while it surely runs by a descriptor of its own (a pidfd), so that a
// later process given the same pid is never taken for it.
class ProcessHandle {
public:
    explicit ProcessHandle(qint64 pid);
    ~ProcessHandle();
    ProcessHandle(const ProcessHandle &) = delete;
    ProcessHandle &operator=(const ProcessHandle &) = delete;

    // Whether the process ends (a zombie has) within `wait`; false also when it could not be held.
    [[nodiscard]] bool endsWithin(std::chrono::milliseconds wait) const;
    // Sends `signal` to the process held, never to one given its number later; false when it
    // could not be held or has been reaped.
    bool signal(int signal) const;

private:
    int m_fd = -1;
};

// How many descriptors this process holds open now.
int openDescriptorCount();
// How many threads this process runs now.
int threadCount();

// Ends a child the test started itself: SIGTERM, then SIGKILL if it is still there after 5 s;
// fails the test when even that does not end it within 30 s.
void stopProcess(QProcess &process);
// Ends such a child at once with SIGKILL; fails the test when it has not ended within 30 s.
void killProcess(QProcess &process);
// Waits until such a child, which ends by itself, has ended; fails the test, naming the program,
// and stops it when it has not ended within `limit` or could not be started. Returns whether it
// ran and ended by itself.
bool awaitEnd(QProcess &process, std::chrono::milliseconds limit = std::chrono::seconds(60));

// The helper's part in a test of how its children end with it: run as the test binary's
// "--stand-in-parent <exit-when> <program> <arguments...>", it launches the program as the helper
// launches a service, writes the child's pid on a line of its own once the child runs, and stays
// until it is killed; with an <exit-when> path, it ends through exit() once that file is there,
// as the helper does when its display goes away, having asked for its children to be stopped
// then.
int runStandInParent(const QStringList &arguments);

// The children that ManagedProcesses launched during a test. Each leads a process group of its
// own, so that what a failed test left running can be killed with everything it started.
class ChildProcessGroups {
public:
    ChildProcessGroups() = default;
    ~ChildProcessGroups();
    ChildProcessGroups(const ChildProcessGroups &) = delete;
    ChildProcessGroups &operator=(const ChildProcessGroups &) = delete;

    // Notes every child `process` launches from now on, for as long as both exist.
    void watch(const ManagedProcess &process);
    // Notes `pid` if it is a child of this process (one that has not been reaped yet).
    void note(qint64 pid);
    bool empty() const { return m_children.empty(); }
    // Whether every child noted so far has ended.
    bool allEnded() const;
    // SIGKILL to the group of every child noted so far.
    void killAll() const;

private:
    // A pid comes back once the system has gone through all of them, which a full test run does
    // within a minute or so: a child is known by its start time too, so that neither a wait nor
    // the kill at a test's end reaches a later process (another test's child) given its number.
    struct Child {
        qint64 pid;
        quint64 started;
        bool stillThere() const;
    };
    std::vector<Child> m_children;
    std::vector<QMetaObject::Connection> m_watches;
};

} // namespace cordavelle::test
