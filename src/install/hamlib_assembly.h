#pragma once

#include "platform/command_runner.h"
#include "platform/described_error.h"

#include <QByteArray>
#include <QCoroTask>
#include <QString>
#include <QStringList>

#include <exception>
#include <stop_token>

namespace cordavelle {

class HamlibInstallerError : public DescribedError {
public:
    enum class Case { bottleInfoParseFailed, noBottleForArch, extractionFailed, dylibFixFailed, libraryMissing };

    static HamlibInstallerError bottleInfoParseFailed();
    static HamlibInstallerError noBottleForArch();
    // `reason`: what tar said, when it said anything.
    static HamlibInstallerError extractionFailed(const QString &reason = {});
    // `output` is what the failing tool printed, shown after the text when there is any.
    static HamlibInstallerError dylibFixFailed(const QString &output = {});
    static HamlibInstallerError libraryMissing(const QString &library);

    Case errorCase() const { return m_case; }
    bool operator==(const HamlibInstallerError &other) const { return m_case == other.m_case; }

private:
    HamlibInstallerError(Case errorCase, QString description);

    Case m_case;
};

// The steps that turn the Hamlib and libusb bottles into a folder holding a rigctld that runs
// from there: "bin/rigctld" and, in "lib", every library it needs that the bottles hold (under
// the name it asks for). The system's own libraries are used as they are.
namespace hamlib_assembly {

// Unpacks a gzip'd tar archive into `folder`. Throws extractionFailed when tar fails.
QCoro::Task<void> extractTar(CommandRunner &runner, QString archive, QString folder, std::stop_token stop = {});

// The first entry not beginning with "." inside `folder`/`name` (a bottle's version folder).
// Throws FileError when that folder can't be listed, extractionFailed when it holds nothing.
QString findVersionedDir(const QString &folder, const QString &name);

// The libraries an ELF file names as needed, as written in it.
QCoro::Task<QStringList> neededLibraries(CommandRunner &runner, QString file, std::stop_token stop = {});

// Whether the system's own library folders hold a library of this name.
bool systemHasLibrary(const QString &name);

// Copies the Hamlib bottle's rigctld into `staging`/bin and every library it needs, directly or
// through another library, from the bottles' "lib" folders into `staging`/lib. Throws FileError
// for a missing rigctld or a failed copy, libraryMissing for a library found nowhere.
QCoro::Task<void> gather(CommandRunner &runner, QString hamlibRoot, QString libusbRoot, QString staging,
                         std::stop_token stop = {});

// Makes the gathered files run where they are: every needed name that carries a folder becomes
// the bare name, the libraries find each other beside them, rigctld gets `loader` and finds its
// libraries in "../lib"; then runs rigctld --version. Returns what it printed. Throws
// dylibFixFailed or BottleProgramError with the tools' output.
QCoro::Task<QByteArray> makeRunnable(CommandRunner &runner, QString staging, QString loader, std::stop_token stop = {});

} // namespace hamlib_assembly
} // namespace cordavelle
