#include "recording_command_runner.h"

#include "platform/clock.h"

#include <QFileInfo>

namespace cordavelle::test {

RecordingCommandRunner::RecordingCommandRunner() : m_real(std::make_unique<LinuxCommandRunner>()) {}

RecordingCommandRunner::~RecordingCommandRunner() = default;

bool RecordingCommandRunner::matches(const QString &key, const QString &program)
{
    return key == program || (!key.contains(QLatin1Char('/')) && key == QFileInfo(program).fileName());
}

void RecordingCommandRunner::respond(const QString &program, Responder responder)
{
    m_responders.emplace_back(program, std::move(responder));
}

void RecordingCommandRunner::respond(const QString &program, CommandResult result)
{
    respond(program, [result](const Command &) { return result; });
}

void RecordingCommandRunner::passThrough(const QString &program) { m_passThrough << program; }

void RecordingCommandRunner::takeTime(Clock &clock, Duration duration)
{
    m_clock = &clock;
    m_duration = std::move(duration);
}

std::vector<Command> RecordingCommandRunner::callsOf(const QString &program) const
{
    std::vector<Command> out;
    for (const Call &call : calls) {
        if (matches(program, call.command.program)) {
            out.push_back(call.command);
        }
    }
    return out;
}

CommandResult RecordingCommandRunner::answer(const Command &command)
{
    // The latest responder wins, so a test can change its answer half-way.
    for (auto it = m_responders.rbegin(); it != m_responders.rend(); ++it) {
        if (matches(it->first, command.program)) {
            return it->second(command);
        }
    }
    return CommandResult::exited(0);
}

QCoro::Task<CommandResult> RecordingCommandRunner::run(Command command)
{
    calls.push_back({command, false});
    journal << (QStringList{command.program} + command.arguments).join(QLatin1Char(' '));
    for (const QString &key : m_passThrough) {
        if (matches(key, command.program)) {
            co_return co_await m_real->run(command);
        }
    }
    if (m_clock && m_duration) {
        co_await m_clock->sleep(m_duration(command));
    }
    co_return answer(command);
}

QCoro::Task<CommandResult> RecordingCommandRunner::runStreaming(Command command, OutputHandler onOutput,
                                                                std::stop_token stop, StartHandler onStarted)
{
    calls.push_back({command, false});
    journal << (QStringList{command.program} + command.arguments).join(QLatin1Char(' '));
    for (const QString &key : m_passThrough) {
        if (matches(key, command.program)) {
            co_return co_await m_real->runStreaming(command, std::move(onOutput), std::move(stop), std::move(onStarted));
        }
    }
    CommandResult result = answer(command);
    const QByteArray output = result.standardOutput + result.standardError;
    result.standardOutput.clear();
    result.standardError.clear();
    if (result.started && onStarted) {
        onStarted(++m_lastMadeUpPid);
    }
    if (!output.isEmpty() && onOutput) {
        onOutput(output);
    }
    co_return result;
}

CommandResult RecordingCommandRunner::runAndWait(const Command &command)
{
    calls.push_back({command, true});
    journal << (QStringList{command.program} + command.arguments).join(QLatin1Char(' '));
    for (const QString &key : m_passThrough) {
        if (matches(key, command.program)) {
            return m_real->runAndWait(command);
        }
    }
    return answer(command);
}

void RecordingCommandRunner::signalProcess(int64_t pid, int signal)
{
    signalsSent.push_back({pid, signal});
    journal << QStringLiteral("kill -%1 %2").arg(signal).arg(pid);
    if (deliverSignals) {
        m_real->signalProcess(pid, signal);
    }
}

std::optional<QString> RecordingCommandRunner::executableOf(int64_t pid)
{
    if (const auto it = executables.find(pid); it != executables.end()) {
        return it->second;
    }
    return deliverSignals ? m_real->executableOf(pid) : std::nullopt;
}

} // namespace cordavelle::test
