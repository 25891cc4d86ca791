#include "command_runner.h"

#include "child_exec.h"
#include "platform.h"

#include "async/process_end.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPointer>

#include <climits>
#include <signal.h>
#include <unistd.h>

#include <optional>
#include <memory>

namespace cordavelle {

CommandResult CommandResult::exited(int status, QByteArray output, QByteArray errors)
{
    CommandResult result;
    result.started = true;
    result.exitStatus = status;
    result.standardOutput = std::move(output);
    result.standardError = std::move(errors);
    return result;
}

CommandResult CommandResult::failedToStart(QString error)
{
    CommandResult result;
    result.launchError = std::move(error);
    return result;
}

namespace {

// Sets the process up to run the command through `exec`, which must outlive its start.
std::unique_ptr<ChildExec> prepare(QProcess &process, const Command &command, const QString &program)
{
    process.setProgram(program);
    process.setArguments(command.arguments);
    std::optional<QProcessEnvironment> childEnvironment;
    if (!command.environment.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (auto it = command.environment.cbegin(); it != command.environment.cend(); ++it) {
            environment.insert(it.key(), it.value());
        }
        process.setProcessEnvironment(environment);
        childEnvironment = environment;
    }
    auto exec = std::make_unique<ChildExec>(program, command.arguments, childEnvironment);
    process.setChildProcessModifier([raw = exec.get()] { raw->execInChild(); });
    // The tools never read from the helper; a tool that asks for input must not wait forever.
    process.setStandardInputFile(QProcess::nullDevice());
    if (!command.captureOutput) {
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
    }
    return exec;
}

// Words a macOS user would see for a tool that is not there; anything else keeps Qt's text.
QString launchErrorText(const QString &systemText, const QString &program)
{
    if (!QFileInfo::exists(program)) {
        return QStringLiteral("The file \u201C%1\u201D doesn\u2019t exist.").arg(QFileInfo(program).fileName());
    }
    return systemText;
}

CommandResult resultOf(QProcess &process, const Command &command)
{
    CommandResult result;
    result.started = true;
    result.crashed = process.exitStatus() == QProcess::CrashExit;
    result.exitStatus = process.exitCode();
    if (command.captureOutput) {
        result.standardOutput = process.readAllStandardOutput();
        result.standardError = process.readAllStandardError();
    }
    return result;
}

} // namespace

QCoro::Task<CommandResult> LinuxCommandRunner::run(Command command)
{
    const QString program = Platform::current().toolLocator().resolve(command.program);
    auto process = std::make_unique<QProcess>();
    const auto exec = prepare(*process, command, program);
    if (const std::optional<QString> &refusal = exec->refusal()) {
        co_return CommandResult::failedToStart(*refusal);
    }
    async::ProcessEnd ended(*process);
    process->start();
    exec->closeChildEnd();
    co_await std::move(ended);
    if (process->error() == QProcess::FailedToStart) {
        co_return CommandResult::failedToStart(launchErrorText(process->errorString(), program));
    }
    if (const auto failure = exec->failure()) {
        co_return CommandResult::failedToStart(launchErrorText(*failure, program));
    }
    co_return resultOf(*process, command);
}

QCoro::Task<CommandResult> LinuxCommandRunner::runStreaming(Command command, OutputHandler onOutput,
                                                            std::stop_token stop, StartHandler onStarted)
{
    const QString program = Platform::current().toolLocator().resolve(command.program);
    auto process = std::make_unique<QProcess>();
    command.captureOutput = true;
    const auto exec = prepare(*process, command, program);
    if (const std::optional<QString> &refusal = exec->refusal()) {
        co_return CommandResult::failedToStart(*refusal);
    }
    process->setProcessChannelMode(QProcess::MergedChannels);
    // A group of its own, so that a stop also ends what the tool started (xz under tar).
    exec->setOwnProcessGroup(true);
    QProcess *raw = process.get();
    auto pass = [raw, &onOutput] {
        const QByteArray chunk = raw->readAllStandardOutput();
        if (!chunk.isEmpty() && onOutput) {
            onOutput(chunk);
        }
    };
    QObject::connect(raw, &QProcess::readyReadStandardOutput, raw, pass);
    if (onStarted) {
        // Qt says "started" once the child has exec'd or given up; only the first runs the tool.
        QObject::connect(raw, &QProcess::started, raw, [raw, exec = exec.get(), &onStarted] {
            if (!exec->failure()) {
                onStarted(raw->processId());
            }
        });
    }
    async::ProcessEnd ended(*raw);
    raw->start();
    exec->closeChildEnd();
    // Queued: the stop may be requested in the middle of other work on the event loop.
    std::stop_callback onStop(stop, [raw] {
        QMetaObject::invokeMethod(
            raw,
            [raw] {
                const auto pid = static_cast<pid_t>(raw->processId());
                if (pid > 0 && ::kill(-pid, SIGKILL) != 0) {
                    ::kill(pid, SIGKILL);
                }
            },
            Qt::QueuedConnection);
    });
    co_await std::move(ended);
    if (raw->error() == QProcess::FailedToStart) {
        co_return CommandResult::failedToStart(launchErrorText(raw->errorString(), program));
    }
    if (const auto failure = exec->failure()) {
        co_return CommandResult::failedToStart(launchErrorText(*failure, program));
    }
    pass();
    co_return resultOf(*raw, Command{});
}

CommandResult LinuxCommandRunner::runAndWait(const Command &command)
{
    const QString program = Platform::current().toolLocator().resolve(command.program);
    QProcess process;
    const auto exec = prepare(process, command, program);
    if (const std::optional<QString> &refusal = exec->refusal()) {
        return CommandResult::failedToStart(*refusal);
    }
    process.start();
    exec->closeChildEnd();
    if (!process.waitForStarted(-1)) {
        return CommandResult::failedToStart(launchErrorText(process.errorString(), program));
    }
    process.waitForFinished(-1);
    if (const auto failure = exec->failure()) {
        return CommandResult::failedToStart(launchErrorText(*failure, program));
    }
    return resultOf(process, command);
}

void LinuxCommandRunner::signalProcess(int64_t pid, int signal)
{
    if (pid < 1) {
        return;
    }
    ::kill(static_cast<pid_t>(pid), signal);
}

std::optional<QString> LinuxCommandRunner::executableOf(int64_t pid)
{
    if (pid < 1) {
        return std::nullopt;
    }
    const QByteArray link = "/proc/" + QByteArray::number(static_cast<qlonglong>(pid)) + "/exe";
    char target[PATH_MAX];
    const ssize_t length = ::readlink(link.constData(), target, sizeof target);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof target) {
        return std::nullopt;
    }
    QString path = QFile::decodeName(QByteArray(target, length));
    // A program file replaced since the process began (an upgrade) still names the process.
    const QLatin1String deleted(" (deleted)");
    if (path.endsWith(deleted)) {
        path.chop(deleted.size());
    }
    return path;
}

} // namespace cordavelle
