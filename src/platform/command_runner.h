#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QMap>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>

namespace cordavelle {

// One run of a command-line tool.
struct Command {
    // The tool as the helper names it; an absolute path that does not exist on this machine is
    // looked for under the same file name in the system's own tool folders.
    QString program;
    QStringList arguments;
    // Variables added to the helper's own environment, replacing inherited ones of the same name.
    QMap<QString, QString> environment;
    // Whether standard output and standard error are kept; otherwise both go nowhere.
    bool captureOutput = false;

    bool operator==(const Command &) const = default;
};

struct CommandResult {
    bool started = false;
    // Why the tool could not be started, in the words shown to the user.
    QString launchError;
    int exitStatus = 0;
    // Ended by a signal rather than by exiting.
    bool crashed = false;
    QByteArray standardOutput;
    QByteArray standardError;

    static CommandResult exited(int status, QByteArray output = {}, QByteArray errors = {});
    static CommandResult failedToStart(QString error);
};

// A tool's standard output and standard error together, piece by piece as it writes them.
using OutputHandler = std::function<void(const QByteArray &chunk)>;
// A tool's process identifier, once it runs the tool's program.
using StartHandler = std::function<void(int64_t pid)>;

// Command-line tools (lsof, pkill, wineserver, tar, …) and signals to other processes.
class CommandRunner {
public:
    virtual ~CommandRunner() = default;

    // Runs the tool to its end without blocking the event loop.
    virtual QCoro::Task<CommandResult> run(Command command) = 0;
    // Runs the tool to its end without blocking the event loop, handing its standard output and
    // standard error, merged in the order written, to `onOutput` as they arrive (on the event
    // loop); every byte has been handed over before the result comes. `captureOutput` is implied
    // and the result holds no output. Once `stop` is requested the tool and every process of its
    // group are killed, and the result says `crashed`. `onStarted` learns the tool's process
    // identifier once it runs (never for a tool that could not be started).
    virtual QCoro::Task<CommandResult> runStreaming(Command command, OutputHandler onOutput,
                                                    std::stop_token stop = {}, StartHandler onStarted = {}) = 0;
    // Runs the tool to its end, blocking the calling thread meanwhile.
    virtual CommandResult runAndWait(const Command &command) = 0;
    // Sends `signal` to one process. Identifiers below 1 (a process group, every process) are
    // never signalled.
    virtual void signalProcess(int64_t pid, int signal) = 0;
    // The program file a running process was started from, or none when that can't be told (no
    // such process, or one of another user).
    virtual std::optional<QString> executableOf(int64_t pid) = 0;
};

// QProcess-based tools and kill(2). A program is found through the platform's ToolLocator, so
// "/usr/sbin/lsof" runs Debian's /usr/bin/lsof.
class LinuxCommandRunner final : public CommandRunner {
public:
    QCoro::Task<CommandResult> run(Command command) override;
    QCoro::Task<CommandResult> runStreaming(Command command, OutputHandler onOutput, std::stop_token stop = {},
                                            StartHandler onStarted = {}) override;
    CommandResult runAndWait(const Command &command) override;
    void signalProcess(int64_t pid, int signal) override;
    std::optional<QString> executableOf(int64_t pid) override;
};

} // namespace cordavelle
