#pragma once

#include "platform/command_runner.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace cordavelle {
class Clock;
}

namespace cordavelle::test {

// Records every tool run and every signal instead of touching the machine. Tools answer what
// the test scripted for them (exit 0 with no output otherwise); a tool marked with
// `passThrough` really runs (found through the platform's ToolLocator). Signals are only recorded unless `deliverSignals` is set.
class RecordingCommandRunner final : public CommandRunner {
public:
    struct Call {
        Command command;
        // Made through runAndWait (blocking the caller) rather than run.
        bool blocking = false;
    };
    struct Signal {
        int64_t pid;
        int signal;
    };
    using Responder = std::function<CommandResult(const Command &)>;
    // How long a run takes, as a loaded machine may make it take.
    using Duration = std::function<std::chrono::milliseconds(const Command &)>;

    RecordingCommandRunner();
    ~RecordingCommandRunner() override;

    QCoro::Task<CommandResult> run(Command command) override;
    // Hands the scripted output and errors to `onOutput` in one piece; a scripted tool that
    // starts gets a made-up process identifier.
    QCoro::Task<CommandResult> runStreaming(Command command, OutputHandler onOutput, std::stop_token stop = {},
                                            StartHandler onStarted = {}) override;
    CommandResult runAndWait(const Command &command) override;
    void signalProcess(int64_t pid, int signal) override;
    // From `executables`; for other processes the real answer while signals are delivered.
    std::optional<QString> executableOf(int64_t pid) override;

    // `program` matches the path the caller names, or else its file name ("lsof").
    void respond(const QString &program, Responder responder);
    void respond(const QString &program, CommandResult result);
    void passThrough(const QString &program);
    // Runs made through `run` take this long on `clock` before they answer, so that what a
    // responder sees is the state of things at the end of the run.
    void takeTime(Clock &clock, Duration duration);
    bool deliverSignals = false;
    // The program files of the processes the test makes up.
    std::map<int64_t, QString> executables;

    std::vector<Call> calls;
    std::vector<Signal> signalsSent;
    // Tool runs and signals in the order they happened: "<program> <arguments…>", "kill -<sig> <pid>".
    QStringList journal;
    // The runs of one program (matched as in `respond`).
    std::vector<Command> callsOf(const QString &program) const;

private:
    CommandResult answer(const Command &command);
    static bool matches(const QString &key, const QString &program);

    std::vector<std::pair<QString, Responder>> m_responders;
    QStringList m_passThrough;
    Clock *m_clock = nullptr;
    Duration m_duration;
    std::unique_ptr<LinuxCommandRunner> m_real;
    int64_t m_lastMadeUpPid = 90000;
};

} // namespace cordavelle::test
