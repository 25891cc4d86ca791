#include "platform/terminal.h"

#include "support/event_wait.h"
#include "support/scoped_environment.h"
#include "support/test_files.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

TEST(TerminalLaunches, TheUsersTerminalFirstThenTheCommonOnesEachWithItsOwnRunOption)
{
    const auto launches = terminalLaunches("foot --app-id \"my term\"", "/s.command");
    QStringList programs;
    for (const TerminalLaunch &launch : launches) {
        programs << launch.program;
    }
    EXPECT_EQ(programs, (QStringList{"foot", "x-terminal-emulator", "gnome-terminal", "konsole", "xfce4-terminal",
                                     "mate-terminal", "kitty", "alacritty", "xterm"}));
    EXPECT_EQ(launches[0].arguments, (QStringList{"--app-id", "my term", "-e", "/s.command"}));
    EXPECT_EQ(launches[2].arguments, (QStringList{"--", "/s.command"}));
    EXPECT_EQ(launches[4].arguments, (QStringList{"-x", "/s.command"}));
    EXPECT_EQ(launches[6].arguments, QStringList{"/s.command"});
    EXPECT_EQ(launches[8].arguments, (QStringList{"-e", "/s.command"}));
    // Without $TERMINAL the list starts at the system's alternative.
    EXPECT_EQ(terminalLaunches("", "/s.command").front().program, "x-terminal-emulator");
}

// Terminals that stand in for the real ones, found through a PATH of their own.
class LinuxTerminalTest : public ::testing::Test {
protected:
    LinuxTerminalTest()
    {
        environment.set("PATH", QFile::encodeName(bin.path()));
        environment.unset("TERMINAL");
    }

    // A terminal that records the arguments it was started with.
    QString recordingTerminal(const QString &name)
    {
        const QString path = bin.filePath(name);
        const QString record = bin.filePath(name + ".args");
        EXPECT_TRUE(test::writeProgram(path, ("#!/bin/sh\necho \"$@\" > '" + record + "'\n").toUtf8()));
        return record;
    }

    static QString recorded(const QString &record)
    {
        QString text;
        EXPECT_TRUE(test::processEventsUntil(
            [&] {
                QFile file(record);
                text = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
                return !text.isEmpty();
            },
            std::chrono::seconds(30)))
            << "the terminal stand-in did not record its arguments in " << record.toStdString() << " within 30 s";
        return text;
    }

    QTemporaryDir bin;
    test::ScopedEnvironment environment;
    LinuxTerminal terminal;
};

TEST_F(LinuxTerminalTest, FallsThroughToTheFirstTerminalThatStarts)
{
    EXPECT_FALSE(terminal.openScript("/s.command")) << "no terminal at all";
    EXPECT_EQ(terminal.lastProgram(), "");

    // One that is there but cannot run is passed over.
    ASSERT_TRUE(test::writeProgram(bin.filePath("gnome-terminal"), "#!/nonexistent/interpreter\n"));
    const QString konsole = recordingTerminal("konsole");
    recordingTerminal("xterm");
    EXPECT_TRUE(terminal.openScript("/s.command"));
    EXPECT_EQ(terminal.lastProgram(), bin.filePath("konsole"));
    EXPECT_EQ(recorded(konsole), "-e /s.command");

    // The user's own choice comes before every other.
    const QString own = recordingTerminal("myterm");
    environment.set("TERMINAL", "myterm --hold");
    EXPECT_TRUE(terminal.openScript("/t.command"));
    EXPECT_EQ(recorded(own), "--hold -e /t.command");
}

} // namespace
} // namespace cordavelle
