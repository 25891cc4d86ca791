#include "platform/system_info.h"

#include "support/test_files.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/utsname.h>
#include <unistd.h>

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

// Who may listen below the kernel's unprivileged ports; 1024, the kernel's default, where the
// setting can't be read.
TEST(UnameSystemInfo, TheLowestPortToListenOnIsTheKernelsUnprivilegedStart)
{
    QTemporaryDir dir;
    const QString file = dir.path() + "/ip_unprivileged_port_start";
    const UnameSystemInfo info(dir.path() + "/machine-info", file);
    EXPECT_EQ(info.unprivilegedPortStart(), 1024) << "no file";
    const std::pair<QByteArray, int> cases[] = {
        {"80\n", 80}, {"1024\n", 1024}, {"0\n", 1}, {"65535", 65535}, {"70000\n", 1024}, {"-1\n", 1024}, {"", 1024},
    };
    for (const auto &[contents, start] : cases) {
        ASSERT_TRUE(test::writeFile(file, contents));
        EXPECT_EQ(info.unprivilegedPortStart(), start) << contents.toStdString();
    }

    // This machine's own setting; root may listen on any port.
    const UnameSystemInfo real;
    EXPECT_EQ(real.lowestBindablePort(), ::geteuid() == 0 ? 1 : real.unprivilegedPortStart());
}

} // namespace
} // namespace cordavelle
