// The built helper as a whole: it starts an always-on service by itself and takes it down with
// it when it is told to terminate.

#include "core/config_store.h"

#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QFile>
#include <QProcess>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <csignal>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

std::optional<qint64> readPid(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    bool ok = false;
    const qint64 pid = file.readAll().trimmed().toLongLong(&ok);
    return ok ? std::optional(pid) : std::nullopt;
}

TEST(HelperBinaryTest, TerminationStopsTheAlwaysOnServiceItStarted)
{
    test::TestPlatform env;
    const QString daemonPid = env.root() + QStringLiteral("/daemon.pid");
    const QString childPid = env.root() + QStringLiteral("/child.pid");
    // A daemon with a child of its own, both deaf to SIGTERM; they must be gone once the helper
    // has quit.
    const QString standIn = env.root() + QStringLiteral("/rig-daemon");
    ASSERT_TRUE(test::writeProgram(
        standIn, QStringLiteral("#!/bin/sh\ntrap '' TERM\necho $$ > '%1'\nsleep 600 &\necho $! > '%2'\nwait\n")
                     .arg(daemonPid, childPid)
                     .toUtf8()));
    {
        // Written to the preferences of the temporary home that the helper runs with.
        ConfigStore config(env.defaults());
        // A port of its own: the default one may be taken by another test or a running helper.
        QTcpServer api;
        api.listen(QHostAddress::LocalHost, 0);
        config.setApiPort(api.serverPort());
        RigctldConfig rig;
        rig.lifecycleMode = ServiceLifecycleMode::alwaysOn;
        rig.rigctldPath = standIn;
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        rig.tcpPort = probe.serverPort();
        config.setRigctldConfig(rig);
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "DBUS_SESSION_BUS_ADDRESS"}) {
        environment.remove(QString::fromLatin1(name));
    }
    environment.insert(QStringLiteral("HOME"), env.platform().paths().home());
    // No pkill, lsof or wineserver of this machine: the helper's sweeps must not reach the
    // processes of other tests.
    environment.insert(QStringLiteral("CORDAVELLE_HELPER_TOOLS_ROOT"), env.root());

    QProcess helper;
    helper.setProcessEnvironment(environment);
    helper.setProcessChannelMode(QProcess::MergedChannels);
    helper.start(QStringLiteral(HELPER_BINARY_PATH), {});
    ASSERT_TRUE(helper.waitForStarted(5000));
    const bool started = test::processEventsUntil([&] { return readPid(daemonPid) && readPid(childPid); }, 20s);
    if (!started) {
        helper.kill();
        helper.waitForFinished(5000);
    }
    ASSERT_TRUE(started) << helper.readAll().toStdString();

    ::kill(static_cast<pid_t>(helper.processId()), SIGTERM);
    ASSERT_TRUE(helper.waitForFinished(10000));
    const QString output = QString::fromUtf8(helper.readAll());
    EXPECT_EQ(helper.exitStatus(), QProcess::NormalExit) << output.toStdString();
    EXPECT_EQ(helper.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("Received SIGTERM; quitting")) << output.toStdString();
    EXPECT_TRUE(test::processEventsUntil(
        [&] { return !test::isAlive(*readPid(daemonPid)) && !test::isAlive(*readPid(childPid)); }, 2s))
        << output.toStdString();
}

} // namespace
} // namespace cordavelle
