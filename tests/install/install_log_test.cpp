#include "install/install_log.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;

class InstallLogTest : public ::testing::Test {
protected:
    QString folder() const { return env.root() + "/support"; }
    std::unique_ptr<InstallLog> makeLog(qint64 cap = InstallLog::kDefaultCap)
    {
        return std::make_unique<InstallLog>(env.clock(), env.log(), folder(), cap);
    }
    QStringList errorsOfTheLog()
    {
        QStringList out;
        for (const auto &entry : env.log().entries) {
            if (entry.category == "InstallLog" && entry.level == LogLevel::Error) {
                out << entry.message;
            }
        }
        return out;
    }

    test::TestPlatform env;
};

TEST_F(InstallLogTest, TheFirstLineMakesTheFileWithAStampedLineAndEachTextOnALineOfItsOwn)
{
    auto log = makeLog();
    env.clock().advance(1234ms);
    log->appendLine("[14:03:27] Installing cabextract...", HelperLogger::Category::install);
    log->appendLine("two\nlines", HelperLogger::Category::install);
    log->flush();

    const QString text = QString::fromUtf8(test::readBytes(folder() + "/setup.log"));
    const QRegularExpression shape(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:01\.234\] \[14:03:27\] Installing cabextract\.\.\.\n)"
                                   R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:01\.234\] two\\nlines\n$)");
    EXPECT_TRUE(shape.match(text).hasMatch()) << text.toStdString();
    // Also in the unified log, in the caller's category, without the stamp.
    EXPECT_EQ(env.log().entries.at(0).category, "install");
    EXPECT_EQ(env.log().entries.at(0).message, "[14:03:27] Installing cabextract...");
    EXPECT_TRUE(errorsOfTheLog().isEmpty());
}

TEST_F(InstallLogTest, RotatesPastTheCapToOneBackup)
{
    // Each line is "[yyyy-MM-dd HH:mm:ss.zzz] " (26 bytes) + text + "\n".
    auto log = makeLog(100);
    const QString fills(100 - (27 + 30) - 27, 'a');
    log->appendLine(QString(30, 'z'), HelperLogger::Category::install);
    log->appendLine(fills, HelperLogger::Category::install);
    log->flush();
    EXPECT_EQ(QFileInfo(folder() + "/setup.log").size(), 100) << "a line reaching the cap exactly stays";
    EXPECT_FALSE(QFile::exists(folder() + "/setup.log.1"));

    log->appendLine("next", HelperLogger::Category::install);
    log->flush();
    EXPECT_EQ(QFileInfo(folder() + "/setup.log.1").size(), 100);
    EXPECT_TRUE(test::readBytes(folder() + "/setup.log").endsWith("] next\n"));
    EXPECT_EQ(QFileInfo(folder() + "/setup.log").size(), 27 + 4);

    // A line longer than the cap goes whole into a fresh file; the old backup is replaced.
    log->appendLine(QString(150, 'L'), HelperLogger::Category::install);
    log->flush();
    EXPECT_EQ(QFileInfo(folder() + "/setup.log").size(), 27 + 150);
    EXPECT_TRUE(test::readBytes(folder() + "/setup.log.1").endsWith("] next\n"));
    EXPECT_FALSE(QFile::exists(folder() + "/setup.log.2"));
    EXPECT_TRUE(errorsOfTheLog().isEmpty());
}

TEST_F(InstallLogTest, AFailedRotationKeepsTheOldContent)
{
    auto log = makeLog(60);
    log->appendLine(QString(30, 'o'), HelperLogger::Category::install);
    log->flush();
    // A backup that can't be replaced: a folder with something inside.
    ASSERT_TRUE(test::writeFile(folder() + "/setup.log.1/keep", "x"));

    log->appendLine("after", HelperLogger::Category::install);
    log->flush();
    const QByteArray kept = test::readBytes(folder() + "/setup.log");
    EXPECT_TRUE(kept.contains(QByteArray(30, 'o')));
    EXPECT_TRUE(kept.endsWith("] after\n"));
    ASSERT_EQ(errorsOfTheLog().size(), 1);
    EXPECT_TRUE(errorsOfTheLog().at(0).startsWith("Install log rotation failed: "));
}

TEST_F(InstallLogTest, AnUnusableFolderIsOnlyReportedInTheLog)
{
    ASSERT_TRUE(test::writeFile(folder(), "a file where the folder should be"));
    auto log = makeLog();
    log->appendLine("lost", HelperLogger::Category::install);
    log->flush();
    EXPECT_EQ(env.log().entries.at(0).message, "lost");
    const QStringList errors = errorsOfTheLog();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors.at(0).startsWith("Install log not written: Nothing is removed or installed in " + folder()))
        << errors.at(0).toStdString();
}

TEST_F(InstallLogTest, LinesOfSeveralInstallersKeepTheOrderOfTheCalls)
{
    auto log = makeLog(64 * 1024);
    QStringList expected;
    for (int i = 0; i < 3000; ++i) {
        const QString text = QStringLiteral("%1 line %2").arg(i % 2 ? "[VARAInstaller]" : "[WineInstaller]").arg(i);
        expected << text;
        log->appendLine(text, HelperLogger::Category::install);
    }
    log.reset();
    // The rotations split the lines over the backup and the log, in order.
    const QString all = QString::fromUtf8(test::readBytes(folder() + "/setup.log.1") + test::readBytes(folder() + "/setup.log"));
    QStringList texts;
    for (const QString &line : all.split('\n', Qt::SkipEmptyParts)) {
        texts << line.mid(26);
    }
    ASSERT_FALSE(texts.isEmpty());
    const qsizetype first = expected.indexOf(texts.first());
    ASSERT_GE(first, 0);
    EXPECT_EQ(texts, expected.mid(first));
    EXPECT_EQ(texts.last(), expected.last());
}

} // namespace
} // namespace cordavelle
