#include "support/test_platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using Status = LoginItem::Status;

class XdgAutostartTest : public ::testing::Test {
protected:
    QString folder() const { return env.root() + QStringLiteral("/home/.config/autostart"); }
    QString readEntry(const QString &path)
    {
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        return QString::fromUtf8(f.readAll());
    }
    test::TestPlatform env;
};

TEST_F(XdgAutostartTest, RegisterWritesAnEntryThatStartsThisExecutable)
{
    // The platform's own item lies beside the preferences folder of the context in force.
    LoginItem &item = env.platform().loginItem();
    EXPECT_EQ(item.status(), Status::notRegistered);
    EXPECT_EQ(item.registerItem(), std::nullopt);
    EXPECT_EQ(item.status(), Status::enabled);

    const QString path = folder() + QStringLiteral("/com.cordavelle.helper.desktop");
    ASSERT_TRUE(QFileInfo::exists(path));
    const QString text = readEntry(path);
    EXPECT_TRUE(text.startsWith(QStringLiteral("[Desktop Entry]\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nType=Application\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nExec=") + XdgAutostartLoginItem::runningExecutable() + "\n"));

    // Registering again is no error and leaves one entry.
    EXPECT_EQ(item.registerItem(), std::nullopt);
    EXPECT_EQ(QDir(folder()).entryList(QDir::Files).size(), 1);

    EXPECT_EQ(item.unregisterItem(), std::nullopt);
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_EQ(item.status(), Status::notRegistered);
    // Nothing left to remove is not a failure.
    EXPECT_EQ(item.unregisterItem(), std::nullopt);
}

TEST_F(XdgAutostartTest, HiddenEntryIsNotEnabled)
{
    XdgAutostartLoginItem item(folder(), QStringLiteral("app"), QStringLiteral("/usr/bin/app"));
    QDir().mkpath(folder());
    QFile f(item.filePath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[Desktop Entry]\nExec=/usr/bin/app\nHidden = true\n");
    f.close();
    EXPECT_EQ(item.status(), Status::notRegistered);

    // Hidden in another group, or any value but "true", does not count.
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("[Desktop Entry]\nExec=/usr/bin/app\nHidden=false\n[Desktop Action x]\nHidden=true\n");
    f.close();
    EXPECT_EQ(item.status(), Status::enabled);
}

TEST_F(XdgAutostartTest, ExecQuotesPathsWithReservedCharacters)
{
    EXPECT_EQ(XdgAutostartLoginItem::quoteExecArgument("/opt/helper/bin/app"), "/opt/helper/bin/app");
    EXPECT_EQ(XdgAutostartLoginItem::quoteExecArgument("/opt/My Apps/app"), "\"/opt/My Apps/app\"");
    // Inside quotes: \" \` \$ \\ ; then the string value doubles every backslash.
    EXPECT_EQ(XdgAutostartLoginItem::quoteExecArgument("/a \"b\"/$c`d`\\e"),
              "\"/a \\\\\"b\\\\\"/\\\\$c\\\\`d\\\\`\\\\\\\\e\"");
    EXPECT_EQ(XdgAutostartLoginItem::quoteExecArgument("/x/100%"), "/x/100%%");

    XdgAutostartLoginItem item(folder(), QStringLiteral("app"), QStringLiteral("/opt/My Apps/app"));
    EXPECT_TRUE(item.desktopEntry().contains(QStringLiteral("\nExec=\"/opt/My Apps/app\"\n")));
}

TEST_F(XdgAutostartTest, FailuresComeBackAsText)
{
    // A file where the folder should be: the folder cannot be made.
    QFile blocker(env.root() + QStringLiteral("/blocker"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    XdgAutostartLoginItem blocked(blocker.fileName() + QStringLiteral("/autostart"), QStringLiteral("app"),
                                  QStringLiteral("/usr/bin/app"));
    const auto error = blocked.registerItem();
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(error->contains(QStringLiteral("autostart")));
    EXPECT_EQ(blocked.status(), Status::notRegistered);

    XdgAutostartLoginItem noExecutable(folder(), QStringLiteral("app"), QString());
    EXPECT_TRUE(noExecutable.registerItem().has_value());
    EXPECT_FALSE(QFileInfo::exists(noExecutable.filePath()));
}

} // namespace
} // namespace cordavelle
