#pragma once

#include <QtGlobal>

#include <chrono>
#include <vector>

class QProcess;

namespace cordavelle {
class ManagedProcess;
}

namespace cordavelle::test {

// Whether `pid` is a process that has not ended: one that is gone, or a zombie, has.
bool isAlive(qint64 pid);

// One process, held from while it surely runs by a descriptor of its own (a pidfd), so that a
// later process given the same pid is never taken for it.
class ProcessHandle {
public:
    explicit ProcessHandle(qint64 pid);
    ~ProcessHandle();
    ProcessHandle(const ProcessHandle &) = delete;
    ProcessHandle &operator=(const ProcessHandle &) = delete;

    // Whether the process ends (a zombie has) within `wait`; false also when it could not be held.
    bool endsWithin(std::chrono::milliseconds wait) const;

private:
    int m_fd = -1;
};

// How many descriptors this process holds open now.
int openDescriptorCount();
// How many threads this process runs now.
int threadCount();

// Ends a child the test started itself: SIGTERM, then SIGKILL if it is still there after 5 s.
void stopProcess(QProcess &process);

// The children that ManagedProcesses launched during a test. Each leads a process group of its
// own, so that what a failed test left running can be killed with everything it started.
class ChildProcessGroups {
public:
    ChildProcessGroups() = default;
    ChildProcessGroups(const ChildProcessGroups &) = delete;
    ChildProcessGroups &operator=(const ChildProcessGroups &) = delete;

    // Notes every child `process` launches from now on, for as long as both exist.
    void watch(const ManagedProcess &process);
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
};

} // namespace cordavelle::test
