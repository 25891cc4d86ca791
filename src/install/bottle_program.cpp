#include "bottle_program.h"

#include "platform/cancellation.h"

#include <QFile>
#include <QFileInfo>

namespace cordavelle {

BottleProgramError::BottleProgramError(const QString &program, const QString &reason)
    : DescribedError(QStringLiteral("%1 does not run: %2").arg(program, reason))
{
}

namespace {

// Runs a step to its end with its whole output; a step that did not end well throws.
QCoro::Task<QByteArray> runStep(CommandRunner &runner, Command command, const QString &name, std::stop_token stop)
{
    QByteArray output;
    OutputHandler collect = [&output](const QByteArray &chunk) { output += chunk; };
    const CommandResult result = co_await runner.runStreaming(std::move(command), std::move(collect), stop);
    throwIfStopped(stop);
    if (!result.started) {
        throw BottleProgramError(name, result.launchError);
    }
    if (result.crashed || result.exitStatus != 0) {
        const QString text = QString::fromUtf8(output).trimmed();
        throw BottleProgramError(name, text.isEmpty() ? QStringLiteral("exit status %1").arg(result.exitStatus) : text);
    }
    co_return output;
}

} // namespace

QString BottleProgram::systemLoader(const QString &machineArchitecture)
{
    if (machineArchitecture == QLatin1String("aarch64") || machineArchitecture == QLatin1String("arm64")) {
        return QStringLiteral("/lib/ld-linux-aarch64.so.1");
    }
    return QStringLiteral("/lib64/ld-linux-x86-64.so.2");
}

QCoro::Task<QByteArray> BottleProgram::makeRunnable(CommandRunner &runner, QString program, QString loader,
                                                    QStringList versionArguments, std::stop_token stop)
{
    const QString name = QFileInfo(program).fileName();
    // Bottles ship their programs read-only; patchelf rewrites the file in place.
    QFile::setPermissions(program, QFile::permissions(program) | QFileDevice::WriteOwner);
    Command patch;
    patch.program = kPatchelf;
    patch.arguments = {QStringLiteral("--set-interpreter"), loader, QStringLiteral("--set-rpath"), kRunPath, program};
    co_await runStep(runner, std::move(patch), name, stop);
    Command check;
    check.program = program;
    check.arguments = std::move(versionArguments);
    co_return co_await runStep(runner, std::move(check), name, stop);
}

} // namespace cordavelle
