#include "platform/download_writer.h"
#include "support/test_files.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <stop_token>

#include <fcntl.h>

namespace cordavelle {
namespace {

// The writing thread replaces the destination only for a download that was finished and not
// stopped: a cancel that comes once every byte is in, while the last pieces are still being
// written, leaves the previous file in place. No partial file stays in any case.
TEST(DiskQueue, ReplacesTheDestinationOnlyForAFinishedDownloadThatWasNotStopped)
{
    const struct {
        const char *name;
        bool abandoned;
        bool stoppedAtTheEnd;
        QByteArray destination;
    } cases[] = {
        {"finished", false, false, "new"},
        {"finished, then cancelled before the rename", false, true, "previous"},
        {"abandoned", true, false, "previous"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir folder;
        const QString destination = folder.filePath(QStringLiteral("wine-stable.tar.xz"));
        const QString partial = destination + QStringLiteral(".download");
        ASSERT_TRUE(test::writeFile(destination, "previous"));
        const int fd = ::open(QFile::encodeName(partial).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        std::stop_source stop;
        DiskQueue queue(fd, partial, destination, 1 << 20, stop.get_token(), {});
        queue.append("new");
        if (c.abandoned) {
            queue.abandon();
        } else {
            queue.finish();
        }
        if (c.stoppedAtTheEnd) {
            stop.request_stop();
        }
        const WriteOutcome outcome = queue.run();
        EXPECT_EQ(outcome.placed, c.destination == "new");
        EXPECT_EQ(outcome.failure, QString());
        EXPECT_EQ(test::readBytes(destination), c.destination);
        EXPECT_FALSE(QFile::exists(partial));
    }
}

} // namespace
} // namespace cordavelle
