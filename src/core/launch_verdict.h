#pragma once

#include <QString>

#include <stop_token>

namespace cordavelle {

class ManagedProcess;

// After a launch: true while the child lives and is still starting (or already running); false
// when `cancel` ended the start, a stop came meanwhile or the child has already ended. An ended
// child leaves the service in error with the reason as its last error, so that the start counts
// as failed. `name` is the program as the log and the error name it.
bool launchSurvived(ManagedProcess &process, const QString &name, const std::stop_token &cancel);

} // namespace cordavelle
