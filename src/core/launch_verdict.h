#pragma once

#include "platform/program_file.h"

#include <QString>

#include <stop_token>

namespace cordavelle {

class ManagedProcess;

// After a launch: true while the child lives and is still starting (or already running); false
// when `cancel` ended the start, a stop came meanwhile or the child has already ended. An ended
// child leaves the service in error with the reason as its last error, so that the start counts
// as failed. `name` is the program as the log and the error name it.
bool launchSurvived(ManagedProcess &process, const QString &name, const std::stop_token &cancel);

// Before a launch of a program the settings name, whatever path they hold: a settings file
// written by hand or by an earlier version was never checked, and a link may have been pointed
// elsewhere since the path was stored. Throws HelperError programChangeableByOthers when someone
// other than root or this user could change what would run, which the caller of the start logs as
// it logs any failed start; `service` names the program ("rigctld", "Wine for VARA HF"). Launch the
// result's `toLaunch()`.
ProgramFile checkProgramForLaunch(const QString &service, const QString &path, ProgramUse use = ProgramUse::run,
                                  const QString &winePrefix = {});

} // namespace cordavelle
