#pragma once

#include "platform/command_runner.h"
#include "platform/described_error.h"

#include <QByteArray>
#include <QCoroTask>
#include <QString>

#include <exception>
#include <stop_token>

namespace cordavelle {

// A program from a bottle that could not be made to run here; the text carries its output.
class BottleProgramError : public DescribedError {
public:
    BottleProgramError(const QString &program, const QString &reason);
};

// A Linux bottle's programs name Homebrew's loader and library folder, which this machine does
// not have. These steps point them at the system's loader and at the "lib" folder beside their
// own, and run them once, so that a program is only put in place when it really runs.
class BottleProgram {
public:
    BottleProgram() = delete;

    static inline const QString kPatchelf = QStringLiteral("/usr/bin/patchelf");
    // The run path given to every program: the "lib" folder beside its own folder.
    static inline const QString kRunPath = QStringLiteral("$ORIGIN/../lib");

    // The system's program loader for a machine ("x86_64", "aarch64").
    static QString systemLoader(const QString &machineArchitecture);

    // Rewrites `program`'s loader to `loader` and its run path to kRunPath, then runs it with
    // `versionArguments` (it must exit 0). Returns what that run printed. Throws
    // BottleProgramError with the tools' output when a step fails, OperationCancelled on a stop.
    static QCoro::Task<QByteArray> makeRunnable(CommandRunner &runner, QString program, QString loader,
                                                QStringList versionArguments, std::stop_token stop = {});
};

} // namespace cordavelle
