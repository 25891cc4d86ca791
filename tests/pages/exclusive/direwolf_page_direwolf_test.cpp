#include "pages/direwolf_page_fixture.h"

#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/local_ports.h"

#include <QComboBox>
#include <QDeadlineTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

QString readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void pick(QComboBox *picker, const QVariant &value)
{
    const int index = picker->findData(value);
    ASSERT_GE(index, 0);
    picker->setCurrentIndex(index);
    Q_EMIT picker->activated(index);
}

TEST(DirewolfPageWithRealDirewolf, TheFileThePageWritesIsTheOneDirewolfStartsWith)
{
    test::DirewolfPageScene scene;
    const auto direwolf = SystemToolLocator().firstExecutable(tools::kDirewolfCandidates);
    if (!direwolf) {
        GTEST_SKIP() << "direwolf is not installed";
    }
    scene.env.useSystemClock();
    // No sound card here: audio comes in over UDP and goes to Direwolf's null device.
    const QString input = QStringLiteral("udp:%1").arg(test::freeUdpPort());
    scene.env.audio().add(1, input, input, QStringLiteral("test"), 1, 0);
    scene.env.audio().add(2, QStringLiteral("null"), QStringLiteral("null"), QStringLiteral("test"), 0, 1);
    scene.audio.refreshDevices();
    const auto [kiss, agw] = test::twoFreeTcpPorts();

    auto page = scene.makePage();
    page->show();
    test::typeInto(page->callsignField(), QStringLiteral("n0call"));
    const auto pickers = page->findChildren<QComboBox *>();
    QComboBox *ssid = nullptr;
    for (QComboBox *picker : pickers) {
        if (picker->itemText(0) == QLatin1String("0 (none)")) {
            ssid = picker;
        }
    }
    ASSERT_NE(ssid, nullptr);
    pick(ssid, 7);
    for (QComboBox *picker : pickers) {
        if (picker->itemText(0) == QLatin1String("System Default")) {
            pick(picker, input);
        } else if (picker->itemText(0) == QLatin1String("Same as Input")) {
            pick(picker, QStringLiteral("null"));
        }
    }
    DirewolfConfig ports = scene.config.direwolfConfig();
    ports.kissPort = kiss;
    ports.agwPort = agw;
    scene.config.setDirewolfConfig(ports);
    EXPECT_EQ(scene.config.direwolfConfig().callsign, QStringLiteral("N0CALL"));

    const QString path = DirewolfConfigManager::configPath();
    // A lambda may not capture a structured binding before C++20's rule reached every compiler.
    const QString kissLine = QStringLiteral("KISSPORT %1").arg(kiss);
    ASSERT_TRUE(test::processEventsUntil([&] { return readAll(path).contains(kissLine); },
                                         std::chrono::seconds(60)))
        << "the configuration file never named KISS port " << kiss << ": " << readAll(path).toStdString();
    const QString text = readAll(path);
    EXPECT_TRUE(text.contains(QStringLiteral("MYCALL N0CALL-7"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("ADEVICE ") + input + QStringLiteral(" null"))) << text.toStdString();

    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(scene.env.root());
    process.start(*direwolf, {QStringLiteral("-c"), path, QStringLiteral("-t"), QStringLiteral("0")});
    ASSERT_TRUE(process.waitForStarted(5000));
    bool listening = false;
    for (QDeadlineTimer wait(15000); !listening && !wait.hasExpired() && process.state() == QProcess::Running;) {
        listening = test::accepts(kiss, std::chrono::milliseconds(200)) && test::accepts(agw, std::chrono::milliseconds(200));
        if (!listening) {
            QThread::msleep(100);
        }
    }
    test::stopProcess(process);
    const QString output = QString::fromLocal8Bit(process.readAll());
    EXPECT_TRUE(listening) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("Audio input device for receive: ") + input)) << output.toStdString();
}

} // namespace
} // namespace cordavelle
