#include "base/tool_lookup.h"
#include "radio/direwolf_config_manager.h"
#include "support/child_processes.h"
#include "support/local_ports.h"
#include "support/test_platform.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <tuple>

namespace cordavelle {
namespace {

// Waits (in real time: a real Direwolf is starting) until every port accepts a connection.
bool waitUntilListening(QProcess &process, const QList<quint16> &ports, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (process.state() == QProcess::NotRunning) {
            return false;
        }
        bool all = true;
        for (quint16 port : ports) {
            all = all && test::accepts(port, std::chrono::milliseconds(200));
        }
        if (all) {
            return true;
        }
        QThread::msleep(100);
    }
    return false;
}

// The generated file with its sound device swapped for a UDP input and no output, since a test
// machine has no sound card.
QString headless(const QString &path, quint16 udpPort)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    QString text = QString::fromUtf8(file.readAll());
    text.replace(QRegularExpression(QStringLiteral("^ADEVICE .*$"), QRegularExpression::MultilineOption),
                 QStringLiteral("ADEVICE udp:%1 null").arg(udpPort));
    const QString out = path + QStringLiteral(".headless");
    QFile outFile(out);
    EXPECT_TRUE(outFile.open(QIODevice::WriteOnly));
    outFile.write(text.toUtf8());
    return out;
}

class DirewolfConfigIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        env.useSystemClock();
        const auto found = SystemToolLocator().firstExecutable(tools::kDirewolfCandidates);
        if (!found) {
            GTEST_SKIP() << "direwolf is not installed";
        }
        direwolf = *found;
        config.callsign = QStringLiteral("n0call");
        config.ssid = 1;
        std::tie(config.kissPort, config.agwPort) = test::twoFreeTcpPorts();
    }

    // Starts Direwolf on the generated file and checks that it opens both servers.
    void expectDirewolfServes(const QString &confPath)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setWorkingDirectory(env.root());
        process.start(direwolf, {QStringLiteral("-c"), headless(confPath, test::freeUdpPort()), QStringLiteral("-t"),
                                 QStringLiteral("0")});
        ASSERT_TRUE(process.waitForStarted(5000));
        const bool listening =
            waitUntilListening(process, {quint16(config.kissPort), quint16(config.agwPort)}, 15000);
        test::stopProcess(process);
        const QString output = QString::fromLocal8Bit(process.readAll());
        EXPECT_TRUE(listening) << output.toStdString();
        EXPECT_TRUE(output.contains(QStringLiteral("port %1").arg(config.kissPort))) << output.toStdString();
        // Direwolf reports a rejected line or a PTT it could not open, and carries on.
        EXPECT_FALSE(output.contains(QStringLiteral("error"), Qt::CaseInsensitive) ||
                     output.contains(QStringLiteral("Invalid")) || output.contains(QStringLiteral("Config file line")))
            << output.toStdString();
        if (config.pttMethod && config.pttMethod->kind() != DirewolfPTTMethod::Kind::vox) {
            EXPECT_FALSE(output.contains(QStringLiteral("PTT not configured"))) << output.toStdString();
        }
    }

    test::TestPlatform env;
    QString direwolf;
    DirewolfConfig config;
    DirewolfConfigManager::Environment environment;
};

TEST_F(DirewolfConfigIntegrationTest, GeneratedFileWithUserLinesStartsDirewolf)
{
    QString path = DirewolfConfigManager::writeConfig(config, environment);
    // A hand-added directive that Direwolf understands, kept through a rewrite.
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("\nDWAIT 10\n");
    file.close();
    path = DirewolfConfigManager::writeConfig(config, environment);
    {
        QFile written(path);
        ASSERT_TRUE(written.open(QIODevice::ReadOnly));
        EXPECT_TRUE(written.readAll().endsWith("\nDWAIT 10\n"));
    }
    expectDirewolfServes(path);
}

TEST_F(DirewolfConfigIntegrationTest, PttThroughARealRigctldIsAccepted)
{
    const QString rigctld = SystemToolLocator().resolve(QStringLiteral("/usr/bin/rigctld"));
    if (!QFile::exists(rigctld)) {
        GTEST_SKIP() << "rigctld is not installed";
    }
    const quint16 rigPort = test::freeTcpPort();
    QProcess rig;
    rig.start(rigctld, {QStringLiteral("-m"), QStringLiteral("1"), QStringLiteral("-T"), QStringLiteral("127.0.0.1"),
                        QStringLiteral("-t"), QString::number(rigPort)});
    ASSERT_TRUE(rig.waitForStarted(5000));
    ASSERT_TRUE(waitUntilListening(rig, {rigPort}, 10000));

    config.pttMethod = DirewolfPTTMethod::rigctld();
    environment.rigctldPort = rigPort;
    const QString path = DirewolfConfigManager::writeConfig(config, environment);
    expectDirewolfServes(path);
    test::stopProcess(rig);
}

TEST_F(DirewolfConfigIntegrationTest, SerialPttIsAccepted)
{
    // A pseudo-terminal stands for the radio's serial interface.
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    config.pttMethod = DirewolfPTTMethod::serial(QString::fromLocal8Bit(ptsname(terminal)));
    const QString path = DirewolfConfigManager::writeConfig(config, environment);
    expectDirewolfServes(path);
    ::close(terminal);
}

} // namespace
} // namespace cordavelle
