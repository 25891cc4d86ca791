#pragma once

#include "platform/port_listeners.h"
#include "platform/program_file.h"

#include <QCoroTask>
#include <QString>

#include <chrono>
#include <optional>
#include <stop_token>
#include <vector>

namespace cordavelle {

class ManagedProcess;

// A TCP port that clients of a service connect to, as a failed start names it: "Direwolf" and
// "KISS port" make "Direwolf's KISS port 8001"; `configurable` when the user may pick another.
struct ClientPort {
    QString program;
    QString role;
    int port = 0;
    bool configurable = true;
};

// "Direwolf's KISS port 8001 is in use by another user's program — choose another port" when a
// program of another user listens on the port now; none otherwise.
std::optional<QString> portOfAnotherUser(const ClientPort &port);

// Why the port can't be the launched program's: "… is in use by another of your programs (socat,
// pid 4242) — stop it or choose another port" when a program other than `launched` and this
// process holds it now, listening or only bound, the text naming whose it is; none otherwise.
std::optional<QString> portHeldElsewhere(const ClientPort &port, const ProcessTree &launched);

// After a launch: true while the child lives and is still starting (or already running); false
// when `cancel` ended the start, a stop came meanwhile or the child has already ended. An ended
// child leaves the service in error with the reason as its last error, so that the start counts
// as failed; when another program now holds one of `ports`, that is the reason. `name` is
// the program as the log and the error name it.
bool launchSurvived(ManagedProcess &process, const QString &name, const std::stop_token &cancel,
                    const std::vector<ClientPort> &ports = {});

// After the launch's wait of `waited` for its ports: why the launched program `owner` does not
// listen on one of `ports`, the first that fails; none when it listens on all of them. Another
// program that holds it now is named with whose it is; otherwise the port never opened.
std::optional<QString> missingListener(const std::vector<ClientPort> &ports, const ProcessTree &owner,
                                       std::chrono::milliseconds waited);

// Fails a start whose child lives but is not ready: logs `reason`, stops the child and returns
// once it is gone, the service then in error with `reason` as its last error. A stop meanwhile
// (or `cancel`) leaves the service stopped.
QCoro::Task<void> failLaunch(ManagedProcess &process, QString reason, std::stop_token cancel);

// Before a launch of a program the settings name, whatever path they hold: a settings file
// written by hand or by an earlier version was never checked, and a link may have been pointed
// elsewhere since the path was stored. Throws HelperError programChangeableByOthers when someone
// other than root or this user could change what would run, which the caller of the start logs as
// it logs any failed start; `service` names the program ("rigctld", "Wine for VARA HF"). Launch the
// result's `toLaunch()`. `workingFolder` is the folder the program will run in, when the start
// gives it one.
ProgramFile checkProgramForLaunch(const QString &service, const QString &path, ProgramUse use = ProgramUse::run,
                                  const QString &winePrefix = {}, const QString &workingFolder = {});

} // namespace cordavelle
