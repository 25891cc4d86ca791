#include "orphan_reaper.h"

#include "base/helper_logger.h"
#include "base/helper_places.h"
#include "base/tool_lookup.h"
#include "platform/clock.h"
#include "platform/command_runner.h"
#include "platform/logger.h"
#include "platform/system_info.h"

#include <QCoreApplication>

namespace cordavelle {

namespace {

Logger logger() { return Logger(HelperLogger::subsystem(), QStringLiteral("OrphanReaper")); }

const QString kPkill = QStringLiteral("/usr/bin/pkill");

// The processes a "pkill -e" run signalled: one line of its standard output each, in whatever
// language the system speaks.
int signalledCount(const CommandResult &result)
{
    int count = 0;
    for (const QByteArray &line : result.standardOutput.split('\n')) {
        count += line.trimmed().isEmpty() ? 0 : 1;
    }
    return count;
}

void logSweep(const QString &name, int ended)
{
    logger().info(QStringLiteral("Swept stray %1 processes of this user: %2 ended").arg(name).arg(ended));
}

} // namespace

void OrphanReaper::killWineserver() const
{
    const std::optional<QString> wineserver = tools::findWineserver();
    if (!wineserver) {
        return;
    }

    Command command;
    command.program = *wineserver;
    command.arguments = {QStringLiteral("-k")};
    command.environment.insert(QStringLiteral("WINEPREFIX"), places::winePrefix());
    const CommandResult result = m_runner.runAndWait(command);
    if (!result.started) {
        logger().error(QStringLiteral("Failed to kill wineserver: %1").arg(result.launchError));
    }
}

QCoro::Task<void> OrphanReaper::killStaleProcesses(QString name, std::stop_token cancel) const
{
    if (cancel.stop_requested()) {
        co_return;
    }
    const QString ownPid = QString::number(QCoreApplication::applicationPid());
    int ended = 0;

    // "-e" names each process it signalled, one line each: a count the log can give, since the
    // sweep also ends a copy the user runs for another radio or program.
    Command children;
    children.program = kPkill;
    children.arguments = {QStringLiteral("-9"), QStringLiteral("-e"), QStringLiteral("-P"), ownPid, name};
    children.captureOutput = true;
    const CommandResult childResult = co_await m_runner.run(children);
    if (!childResult.started) {
        logger().error(QStringLiteral("pkill child '%1' failed: %2").arg(name, childResult.launchError));
    }
    ended += signalledCount(childResult);
    if (cancel.stop_requested()) {
        logSweep(name, ended);
        co_return;
    }

    // Run as root, a bare "pkill -9 <name>" would reach every user's daemons, and without "-x"
    // any process whose name merely contains the name.
    Command everyone;
    everyone.program = kPkill;
    everyone.arguments = {QStringLiteral("-9"), QStringLiteral("-e"), QStringLiteral("-x"), QStringLiteral("-U"),
                          QString::number(currentUserId()), name};
    everyone.captureOutput = true;
    const CommandResult everyoneResult = co_await m_runner.run(everyone);
    if (!everyoneResult.started) {
        logger().error(QStringLiteral("pkill '%1' failed: %2").arg(name, everyoneResult.launchError));
    }
    ended += signalledCount(everyoneResult);
    logSweep(name, ended);

    co_await m_clock.sleep(std::chrono::milliseconds(500), cancel);
}

} // namespace cordavelle
