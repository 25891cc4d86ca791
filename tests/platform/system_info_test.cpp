#include "platform/system_info.h"

#include "support/test_files.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/utsname.h>

namespace cordavelle {
namespace {

TEST(UnameSystemInfo, TheComputerNameIsThePrettyHostNameWhenOneIsSet)
{
    utsname uts{};
    ASSERT_EQ(uname(&uts), 0);
    const QString host = QString::fromLocal8Bit(uts.nodename);
    QTemporaryDir dir;
    const QString file = dir.path() + "/machine-info";
    EXPECT_EQ(UnameSystemInfo(file).hostName(), host) << "no machine-info file";

    const struct {
        QByteArray contents;
        QString name;
    } cases[] = {
        {"PRETTY_HOSTNAME=\"Jane's \\\"Shack\\\" PC\"\nCHASSIS=laptop\n", "Jane's \"Shack\" PC"},
        {"CHASSIS=desktop\n  PRETTY_HOSTNAME='Radio Room' \n", "Radio Room"},
        {"PRETTY_HOSTNAME=Plain\\ Name", "Plain Name"},
        {"PRETTY_HOSTNAME=First\nPRETTY_HOSTNAME=\"Second\"\n", "Second"},
        {"# PRETTY_HOSTNAME=Commented\nICON_NAME=computer\n", host},
        {"PRETTY_HOSTNAME=\nCHASSIS=laptop\n", host},
        {"PRETTY_HOSTNAME=\"  \"\n", host},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(test::writeFile(file, c.contents));
        EXPECT_EQ(UnameSystemInfo(file).hostName(), c.name) << c.contents.toStdString();
    }
}

} // namespace
} // namespace cordavelle
