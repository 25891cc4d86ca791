#include "radio/vara_config_manager.h"

#include "platform/files.h"

#include "read_only_folder.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QFileInfo>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using Settings = VARAConfigManager::VARASettings;

Settings settings(QString callsign, QString input, QString output, int64_t port)
{
    return Settings{std::move(callsign), std::move(input), std::move(output), port};
}

class VARAIniTest : public ::testing::Test {
protected:
    QString path() const { return VARAConfigManager::iniPath(VARAVariant::hf); }
    void put(const QByteArray &bytes) const { test::writeFile(path(), bytes); }
    QByteArray stored() const { return test::readBytes(path()); }
    // Writes `s` over the file holding `before` and returns what is stored afterwards.
    std::string rewrite(const QByteArray &before, const Settings &s) const
    {
        put(before);
        VARAConfigManager::writeSettings(s, VARAVariant::hf);
        return stored().toStdString();
    }

    test::TestPlatform env;
};

TEST_F(VARAIniTest, FilesLieInTheVariantsInstallFolderOfThePrefix)
{
    EXPECT_TRUE(VARAConfigManager::iniPath(VARAVariant::hf).endsWith("/wine-prefix/drive_c/VARA/VARA.ini"));
    EXPECT_TRUE(VARAConfigManager::iniPath(VARAVariant::fm).endsWith("/wine-prefix/drive_c/VARA FM/VARAFM.ini"));
    EXPECT_TRUE(VARAConfigManager::iniPath(VARAVariant::hf).startsWith(env.root()));
}

TEST_F(VARAIniTest, ReadingTakesOnlyTheFourKeysFromTheirOwnSections)
{
    put("Callsign Licence 0=BEFORE\n"
        "[Monitor]\nInput Device Name=Elsewhere\nTCP Command Port=9999\n"
        "[Soundcard]\n  Input Device Name = USB Audio CODEC  \nOutput Device Name=Speakers\n; comment=x\n"
        "[ Setup ]\nCallsign Licence 0=SPACED\n"
        "[Setup]\nCallsign Licence 0=N0CALL\nTCP Command Port = 8301\n");
    EXPECT_EQ(VARAConfigManager::readSettings(VARAVariant::hf), settings("N0CALL", "USB Audio CODEC", "Speakers", 8301));

    // A repeated key or section: the last one in the file wins.
    put("[Setup]\nTCP Command Port=8301\n[Soundcard]\n[Setup]\nTCP Command Port=+42\nCallsign Licence 0=A\n"
        "Callsign Licence 0=B\n");
    EXPECT_EQ(VARAConfigManager::readSettings(VARAVariant::hf), settings("B", "", "", 42));
}

TEST_F(VARAIniTest, PortIsTakenOnlyWhenItIsAWholeNumber)
{
    const auto portOf = [this](const char *value) {
        put(QByteArray("[Setup]\nTCP Command Port=") + value + "\n");
        return VARAConfigManager::readSettings(VARAVariant::hf).tcpCommandPort;
    };
    EXPECT_EQ(portOf("abc"), 8300);
    EXPECT_EQ(portOf(""), 8300);
    EXPECT_EQ(portOf("+"), 8300);
    EXPECT_EQ(portOf("83 01"), 8300);
    EXPECT_EQ(portOf("8301.0"), 8300);
    EXPECT_EQ(portOf("99999999999999999999"), 8300);
    EXPECT_EQ(portOf("-1"), -1);
    EXPECT_EQ(portOf("9223372036854775807"), 9223372036854775807LL);
}

TEST_F(VARAIniTest, MissingOrDamagedFilesReadAsDefaultsAndAreNeverWritten)
{
    EXPECT_EQ(VARAConfigManager::readSettings(VARAVariant::fm), settings("", "", "", 8300));
    EXPECT_TRUE(env.log().entries.empty());
    try {
        VARAConfigManager::writeSettings(settings("N0CALL", "", "", 8300), VARAVariant::fm);
        ADD_FAILURE() << "writing a missing file must fail";
    } catch (const VARAConfigError &error) {
        EXPECT_EQ(error.description(), "VARA configuration file not found at " + VARAConfigManager::iniPath(VARAVariant::fm));
    }
    EXPECT_FALSE(QFileInfo::exists(VARAConfigManager::iniPath(VARAVariant::fm)));

    const QByteArray latin1("[Setup]\r\nCallsign Licence 0=F\xC9LIX\r\n");
    put(latin1);
    EXPECT_EQ(VARAConfigManager::readSettings(VARAVariant::hf), settings("", "", "", 8300));
    ASSERT_EQ(env.log().entries.size(), 1u);
    EXPECT_TRUE(env.log().entries[0].message.startsWith("[VARAConfig] Could not read VARA HF ini at " + path() + ": "));
    EXPECT_EQ(env.log().entries[0].category, "services");
    EXPECT_THROW(VARAConfigManager::writeSettings(settings("N0CALL", "", "", 8300), VARAVariant::hf), VARAConfigError);
    EXPECT_EQ(stored(), latin1);
}

TEST_F(VARAIniTest, LineEndingsOfTheFileAreKept)
{
    const Settings s = settings("N0CALL", "In", "Out", 8300);
    EXPECT_EQ(rewrite("[Soundcard]\r\nInput Device Name=\r\nOutput Device Name=Old\n[Setup]\r\nCallsign Licence 0=X\r\n"
                      "TCP Command Port=8300\r\n",
                      s),
              "[Soundcard]\r\nInput Device Name=In\r\nOutput Device Name=Out\r\n[Setup]\r\nCallsign Licence 0=N0CALL\r\n"
              "TCP Command Port=8300\r\n");
    EXPECT_EQ(rewrite("[Soundcard]\rInput Device Name=\rOutput Device Name=\r[Setup]\rCallsign Licence 0=\r"
                      "TCP Command Port=1\r",
                      s),
              "[Soundcard]\rInput Device Name=In\rOutput Device Name=Out\r[Setup]\rCallsign Licence 0=N0CALL\r"
              "TCP Command Port=8300\r");
    EXPECT_EQ(rewrite("[Soundcard]\nInput Device Name=\nOutput Device Name=\n[Setup]\nCallsign Licence 0=\n"
                      "TCP Command Port=1\n",
                      s),
              "[Soundcard]\nInput Device Name=In\nOutput Device Name=Out\n[Setup]\nCallsign Licence 0=N0CALL\n"
              "TCP Command Port=8300\n");
}

TEST_F(VARAIniTest, ByteOrderMarkIsNoPartOfTheFirstHeaderAndIsKept)
{
    const QByteArray bom("\xEF\xBB\xBF");
    put(bom + "[Soundcard]\r\nInput Device Name=Mic\r\n[Setup]\r\nCallsign Licence 0=N0CALL\r\n");
    EXPECT_EQ(VARAConfigManager::readSettings(VARAVariant::hf), settings("N0CALL", "Mic", "", 8300));

    EXPECT_EQ(rewrite(stored(), settings("N0CALL", "Mic", "Spk", 8300)),
              (bom + "[Soundcard]\r\nInput Device Name=Mic\r\nOutput Device Name=Spk\r\n[Setup]\r\n"
                    "Callsign Licence 0=N0CALL\r\nTCP Command Port=8300\r\n").toStdString());
}

TEST_F(VARAIniTest, RepeatedSectionsAreMergedIntoTheFirst)
{
    EXPECT_EQ(rewrite("[Setup]\nCallsign Licence 0=N0CALL\nTCP Command Port=8300\n\n[Setup]\nTCP Command Port=8301\n",
                      settings("N0CALL", "", "", 8302)),
              "[Setup]\nCallsign Licence 0=N0CALL\nTCP Command Port=8302\n\n[Soundcard]\nInput Device Name=\n"
              "Output Device Name=");

    // Both tracked sections are normalised as soon as one repeats: merged keys (first-seen order,
    // last value) stand right below the header, then the first occurrence's comments and blanks;
    // untracked sections and the lines before the first header stay as they were.
    EXPECT_EQ(rewrite("; VARA\n"
                      "[Soundcard]\n; devices\nInput Device Name = Mic\nChannel=1\n\n"
                      "[Setup]\nCallsign Licence 0=OLD\n; note\n\n"
                      "[Monitor]\nKey=1\n\n"
                      "[Setup]\n; dropped\nTCP Command Port=8301\nCallsign Licence 0=NEW\nExtra=2\n\n"
                      "[Monitor]\nKey=2\n",
                      settings("NEW", "Mic", "Spk", 8300)),
              "; VARA\n"
              "[Soundcard]\nInput Device Name=Mic\nChannel=1\n; devices\nOutput Device Name=Spk\n\n"
              "[Setup]\nCallsign Licence 0=NEW\nTCP Command Port=8300\nExtra=2\n; note\n\n"
              "[Monitor]\nKey=1\n\n"
              "[Monitor]\nKey=2\n");
    EXPECT_EQ(VARAConfigManager::readSettings(VARAVariant::hf), settings("NEW", "Mic", "Spk", 8300));
}

TEST_F(VARAIniTest, OnlyTheOwnedLinesChangeInAFileWithoutRepeats)
{
    EXPECT_EQ(rewrite("[Soundcard]\nOutput Device Name = Old\n  Input Device Name=Old\nChannel = 1\n\n"
                      "[Setup]\nTCP Command Port = 8301\nUpper Frequency = 3000\nCallsign Licence 0=N0CALL\n\n"
                      "[Monitor]\nInput Device Name=Keep\n",
                      settings("N0CALL", "In", "Out", 8300)),
              "[Soundcard]\nOutput Device Name=Out\nInput Device Name=In\nChannel = 1\n\n"
              "[Setup]\nTCP Command Port=8300\nUpper Frequency = 3000\nCallsign Licence 0=N0CALL\n\n"
              "[Monitor]\nInput Device Name=Keep\n");
}

TEST_F(VARAIniTest, MissingKeysAndSectionsAreAdded)
{
    const Settings s = settings("N0CALL", "In", "Out", 8300);
    // Keys go to the end of their section, above the blank lines that separate it from the next.
    EXPECT_EQ(rewrite("[Soundcard]\nChannel=1\n\n\n[Monitor]\nA=1\n", s),
              "[Soundcard]\nChannel=1\nInput Device Name=In\nOutput Device Name=Out\n\n\n[Monitor]\nA=1\n\n"
              "[Setup]\nCallsign Licence 0=N0CALL\nTCP Command Port=8300");
    // ...also in a section that holds only blank lines.
    EXPECT_EQ(rewrite("[Setup]\n\n[Soundcard]\n", s),
              "[Setup]\nCallsign Licence 0=N0CALL\nTCP Command Port=8300\n\n[Soundcard]\nInput Device Name=In\n"
              "Output Device Name=Out\n");
    EXPECT_EQ(rewrite("", s),
              "\n\n[Soundcard]\nInput Device Name=In\nOutput Device Name=Out\n\n[Setup]\nCallsign Licence 0=N0CALL\n"
              "TCP Command Port=8300");
    // A key the writer doesn't recognise (two spaces before "=") gets a second line; reading
    // then takes the later one.
    EXPECT_EQ(rewrite("[Setup]\nCallsign Licence 0  =OLD\nTCP Command Port=8300\n", s),
              "[Setup]\nCallsign Licence 0  =OLD\nTCP Command Port=8300\nCallsign Licence 0=N0CALL\n\n"
              "[Soundcard]\nInput Device Name=In\nOutput Device Name=Out");
    EXPECT_EQ(VARAConfigManager::readSettings(VARAVariant::hf).callsign, "N0CALL");
    // A longer key that begins with the same letters is another key.
    EXPECT_EQ(rewrite("[Soundcard]\nInput Device Name2=Keep\nOutput Device Name=Out\n", s),
              "[Soundcard]\nInput Device Name2=Keep\nOutput Device Name=Out\nInput Device Name=In\n\n"
              "[Setup]\nCallsign Licence 0=N0CALL\nTCP Command Port=8300");
}

TEST_F(VARAIniTest, AFailedSaveLeavesTheFileAsItWas)
{
    const QByteArray before("[Setup]\r\nTCP Command Port=8301\r\n");
    put(before);
    test::ReadOnlyFolder folder(QFileInfo(path()).path());
    if (!folder.active()) {
        GTEST_SKIP() << "cannot make a folder read-only here";
    }
    EXPECT_THROW(VARAConfigManager::writeSettings(settings("N0CALL", "", "", 8300), VARAVariant::hf), FileError);
    EXPECT_EQ(stored(), before);
}

} // namespace
} // namespace cordavelle
