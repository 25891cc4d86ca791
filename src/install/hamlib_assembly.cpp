#include "hamlib_assembly.h"

#include "install/bottle_program.h"
#include "platform/cancellation.h"
#include "platform/files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <set>

namespace cordavelle {

HamlibInstallerError::HamlibInstallerError(Case errorCase, QString description)
    : DescribedError(std::move(description)), m_case(errorCase)
{
}

HamlibInstallerError HamlibInstallerError::bottleInfoParseFailed()
{
    return {Case::bottleInfoParseFailed, QStringLiteral("Could not parse the Hamlib release information")};
}

HamlibInstallerError HamlibInstallerError::noBottleForArch()
{
    return {Case::noBottleForArch, QStringLiteral("No Hamlib bottle available for this architecture")};
}

HamlibInstallerError HamlibInstallerError::extractionFailed(const QString &reason)
{
    const QString text = QStringLiteral("Failed to extract Hamlib archive");
    return {Case::extractionFailed, reason.isEmpty() ? text : text + QStringLiteral(": ") + reason};
}

HamlibInstallerError HamlibInstallerError::dylibFixFailed(const QString &output)
{
    const QString text = QStringLiteral("Failed to fix library paths");
    return {Case::dylibFixFailed, output.isEmpty() ? text : text + QStringLiteral(": ") + output};
}

HamlibInstallerError HamlibInstallerError::libraryMissing(const QString &library)
{
    return {Case::libraryMissing,
            QStringLiteral("rigctld needs %1, which neither the Hamlib nor the libusb bottle holds and this system "
                           "lacks")
                .arg(library)};
}

namespace hamlib_assembly {

namespace {

const QString kTar = QStringLiteral("/usr/bin/tar");
// What tar unpacks belongs to the user, with the umask applied to the archive's modes, also where
// tar would keep the archive's owners and modes (run as root).
const QStringList kUnpackAsUser{QStringLiteral("--no-same-owner"), QStringLiteral("--no-same-permissions")};

struct ToolRun {
    CommandResult result;
    QByteArray output;
    bool succeeded() const { return result.started && !result.crashed && result.exitStatus == 0; }
    QString text() const
    {
        const QString printed = QString::fromUtf8(output).trimmed();
        if (!result.started) {
            return result.launchError;
        }
        return printed.isEmpty() ? QStringLiteral("exit status %1").arg(result.exitStatus) : printed;
    }
};

// Runs a tool to its end with its merged output, read to the last byte.
QCoro::Task<ToolRun> runTool(CommandRunner &runner, QString program, QStringList arguments, std::stop_token stop)
{
    ToolRun run;
    Command command;
    command.program = std::move(program);
    command.arguments = std::move(arguments);
    OutputHandler collect = [output = &run.output](const QByteArray &chunk) { *output += chunk; };
    run.result = co_await runner.runStreaming(std::move(command), std::move(collect), stop);
    throwIfStopped(stop);
    co_return run;
}

QCoro::Task<void> patch(CommandRunner &runner, QStringList arguments, std::stop_token stop)
{
    const ToolRun run = co_await runTool(runner, BottleProgram::kPatchelf, std::move(arguments), stop);
    if (!run.succeeded()) {
        throw HamlibInstallerError::dylibFixFailed(run.text());
    }
}

QString baseName(const QString &library) { return QFileInfo(library).fileName(); }

// The bottles' files are read-only; the fixes rewrite them in place.
void copyWritable(const QString &from, const QString &to)
{
    if (!QFileInfo(from).isFile()) {
        throw FileError(QStringLiteral("%1 is missing from the bottle").arg(from));
    }
    QFile::remove(to);
    if (!QFile::copy(from, to)) {
        throw FileError(QStringLiteral("Could not copy %1 to %2").arg(from, to));
    }
    // Nobody but the user may change what the helper will run; a copy left writable by others
    // would only be refused at its first start, long after the install said it was done.
    if (!QFile::setPermissions(to, (QFile::permissions(to) | QFileDevice::ReadOwner | QFileDevice::WriteOwner) &
                                       ~(QFileDevice::WriteGroup | QFileDevice::WriteOther))) {
        throw FileError(QStringLiteral("Could not set the permissions of %1").arg(to));
    }
}

// Where the loader looks by itself on Debian, in its order.
QStringList systemLibraryFolders()
{
    QStringList folders;
    for (const char *triple : {"x86_64-linux-gnu", "aarch64-linux-gnu", "arm-linux-gnueabihf", "i386-linux-gnu"}) {
        folders << QStringLiteral("/lib/") + QLatin1String(triple) << QStringLiteral("/usr/lib/") + QLatin1String(triple);
    }
    folders << QStringLiteral("/lib64") << QStringLiteral("/usr/lib64") << QStringLiteral("/lib")
            << QStringLiteral("/usr/lib") << QStringLiteral("/usr/local/lib");
    return folders;
}

} // namespace

QCoro::Task<void> extractTar(CommandRunner &runner, QString archive, QString folder, std::stop_token stop)
{
    // The list is made apart: g++ 12 can't copy a braced list into a coroutine's parameter.
    QStringList arguments;
    arguments << QStringLiteral("-xzf") << archive << QStringLiteral("-C") << folder << kUnpackAsUser;
    const ToolRun run = co_await runTool(runner, kTar, std::move(arguments), stop);
    if (!run.succeeded()) {
        // Its last line says why ("gzip: stdin: not in gzip format" comes before "tar: Error ...").
        const QStringList lines = run.text().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        throw HamlibInstallerError::extractionFailed(lines.isEmpty() ? QString() : lines.first().trimmed());
    }
}

QString findVersionedDir(const QString &folder, const QString &name)
{
    const QDir bottle(folder + QLatin1Char('/') + name);
    if (!bottle.exists()) {
        throw FileError(QStringLiteral("The archive holds no folder %1").arg(name));
    }
    const QStringList entries =
        bottle.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QString &entry : entries) {
        if (!entry.startsWith(QLatin1Char('.'))) {
            return bottle.filePath(entry);
        }
    }
    throw HamlibInstallerError::extractionFailed();
}

QCoro::Task<QStringList> neededLibraries(CommandRunner &runner, QString file, std::stop_token stop)
{
    QStringList arguments;
    arguments << QStringLiteral("--print-needed") << file;
    const ToolRun run = co_await runTool(runner, BottleProgram::kPatchelf, std::move(arguments), stop);
    if (!run.succeeded()) {
        throw HamlibInstallerError::dylibFixFailed(run.text());
    }
    QStringList libraries;
    for (const QString &line : QString::fromUtf8(run.output).split(QLatin1Char('\n'))) {
        if (const QString library = line.trimmed(); !library.isEmpty()) {
            libraries << library;
        }
    }
    co_return libraries;
}

bool systemHasLibrary(const QString &name)
{
    for (const QString &folder : systemLibraryFolders()) {
        if (QFileInfo::exists(folder + QLatin1Char('/') + name)) {
            return true;
        }
    }
    return false;
}

QCoro::Task<void> gather(CommandRunner &runner, QString hamlibRoot, QString libusbRoot, QString staging,
                         std::stop_token stop)
{
    if (!makeFolders(staging + QStringLiteral("/bin")) || !makeFolders(staging + QStringLiteral("/lib"))) {
        throw FileError(QStringLiteral("Could not create %1").arg(staging));
    }
    const QString rigctld = staging + QStringLiteral("/bin/rigctld");
    copyWritable(hamlibRoot + QStringLiteral("/bin/rigctld"), rigctld);

    const QStringList bottleLibraries{hamlibRoot + QStringLiteral("/lib"), libusbRoot + QStringLiteral("/lib")};
    std::set<QString> seen;
    QStringList pending{rigctld};
    while (!pending.isEmpty()) {
        const QString file = pending.takeFirst();
        const QStringList neededList = co_await neededLibraries(runner, file, stop);
        for (const QString &needed : neededList) {
            const QString name = baseName(needed);
            if (!seen.insert(name).second) {
                continue;
            }
            QString found;
            for (const QString &folder : bottleLibraries) {
                if (QFileInfo(folder + QLatin1Char('/') + name).isFile()) {
                    found = folder + QLatin1Char('/') + name;
                    break;
                }
            }
            if (!found.isEmpty()) {
                const QString copy = staging + QStringLiteral("/lib/") + name;
                copyWritable(found, copy);
                pending << copy;
            } else if (!systemHasLibrary(name)) {
                throw HamlibInstallerError::libraryMissing(name);
            }
        }
    }
}

QCoro::Task<QByteArray> makeRunnable(CommandRunner &runner, QString staging, QString loader, std::stop_token stop)
{
    // Homebrew may name a library by its path in Homebrew's folders; the loader is to find it
    // by name, beside the file or in the system.
    const auto bareNames = [&runner, stop](const QString &file) -> QCoro::Task<QStringList> {
        QStringList arguments;
        const QStringList neededList = co_await neededLibraries(runner, file, stop);
        for (const QString &needed : neededList) {
            if (needed.contains(QLatin1Char('/'))) {
                arguments << QStringLiteral("--replace-needed") << needed << baseName(needed);
            }
        }
        co_return arguments;
    };
    const QDir libraries(staging + QStringLiteral("/lib"));
    for (const QString &name : libraries.entryList(QDir::Files, QDir::Name)) {
        const QString library = libraries.filePath(name);
        QStringList arguments = co_await bareNames(library);
        arguments << QStringLiteral("--set-rpath") << QStringLiteral("$ORIGIN") << library;
        co_await patch(runner, std::move(arguments), stop);
    }
    const QString rigctld = staging + QStringLiteral("/bin/rigctld");
    QStringList rigctldArguments = co_await bareNames(rigctld);
    if (!rigctldArguments.isEmpty()) {
        rigctldArguments << rigctld;
        co_await patch(runner, std::move(rigctldArguments), stop);
    }
    QStringList versionArguments;
    versionArguments << QStringLiteral("--version");
    co_return co_await BottleProgram::makeRunnable(runner, rigctld, loader, std::move(versionArguments), stop);
}

} // namespace hamlib_assembly
} // namespace cordavelle
