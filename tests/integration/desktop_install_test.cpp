// `cmake --install` of this build into a scratch prefix: the menu entry, the icon and the
// executable it names, and the login item's autostart entry for that executable.

#include "platform/login_item.h"
#include "platform/platform.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The value of `key` in the entry's main group.
QString entryValue(const QString &entry, const QString &key)
{
    for (const QString &line : entry.split(QLatin1Char('\n'))) {
        if (line.startsWith(key + QLatin1Char('='))) {
            return line.mid(key.size() + 1);
        }
    }
    return QString();
}

// Empty when desktop-file-validate accepts the entry, else what it said.
QString validationErrors(const QString &validator, const QString &path)
{
    QProcess check;
    check.setProcessChannelMode(QProcess::MergedChannels);
    check.start(validator, {path});
    if (!check.waitForFinished(30000)) {
        return QStringLiteral("desktop-file-validate did not finish");
    }
    const QString said = QString::fromUtf8(check.readAll());
    return check.exitCode() == 0 && !said.contains(QStringLiteral("error:")) ? QString() : said;
}

TEST(DesktopInstallTest, InstalledEntryIconAndAutostartEntryAgree)
{
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    // A space in the prefix makes the Exec line quote the path.
    const QString prefix = scratch.path() + QStringLiteral("/pre fix");
    QProcess install;
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(QStringLiteral(HELPER_CMAKE_COMMAND),
                  {QStringLiteral("--install"), QStringLiteral(HELPER_BUILD_DIR), QStringLiteral("--prefix"), prefix});
    ASSERT_TRUE(install.waitForFinished(60000));
    ASSERT_EQ(install.exitCode(), 0) << install.readAll().toStdString();

    const QString executable = prefix + QStringLiteral("/bin/cordavelle-helper");
    EXPECT_TRUE(QFileInfo(executable).isExecutable());
    const QString icon = prefix + QStringLiteral("/share/icons/hicolor/scalable/apps/com.cordavelle.helper.svg");
    EXPECT_TRUE(readText(icon).contains(QStringLiteral("<svg")));

    const QString entryPath = prefix + QStringLiteral("/share/applications/com.cordavelle.helper.desktop");
    const QString entry = readText(entryPath);
    ASSERT_FALSE(entry.isEmpty());
    EXPECT_EQ(entryValue(entry, QStringLiteral("Name")), QStringLiteral("Cordavelle Helper"));
    EXPECT_EQ(entryValue(entry, QStringLiteral("Icon")), QFileInfo(icon).completeBaseName());

    // The login item started from the installed executable names the same program and icon.
    XdgAutostartLoginItem loginItem(scratch.path() + QStringLiteral("/autostart"), kApplicationIdentifier, executable);
    ASSERT_EQ(loginItem.registerItem(), std::nullopt);
    const QString autostart = readText(loginItem.filePath());
    EXPECT_EQ(entryValue(entry, QStringLiteral("Exec")), entryValue(autostart, QStringLiteral("Exec")));
    EXPECT_EQ(entryValue(entry, QStringLiteral("Exec")), QStringLiteral("\"%1\"").arg(executable));
    EXPECT_EQ(entryValue(entry, QStringLiteral("Icon")), entryValue(autostart, QStringLiteral("Icon")));

    const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (validator.isEmpty()) {
        GTEST_SKIP() << "desktop-file-validate is not installed (package desktop-file-utils)";
    }
    EXPECT_EQ(validationErrors(validator, entryPath), QString());
    EXPECT_EQ(validationErrors(validator, loginItem.filePath()), QString());
}

} // namespace
} // namespace cordavelle
