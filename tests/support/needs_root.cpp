#include "needs_root.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace cordavelle::test {

namespace {

// Adds the running test's name, as CTest knows it, to the list once per process. A list that
// can't be written fails the test: the run as root would otherwise leave it out unseen.
void noteRunningTest()
{
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    const char *list = std::getenv(kNeedsRootListVariable);
    if (!info || !list || !*list) {
        return;
    }
    static std::mutex lock;
    static std::set<std::string> noted;
    const std::string name = std::string(info->test_suite_name()) + '.' + info->name();
    const std::lock_guard guard(lock);
    if (!noted.insert(name).second) {
        return;
    }
    // One write of one line in append mode: tests running side by side don't mix their lines.
    const std::string line = name + '\n';
    const int fd = ::open(list, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const bool written = fd >= 0 && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    const int error = errno;
    if (fd >= 0) {
        ::close(fd);
    }
    if (!written) {
        ADD_FAILURE() << "cannot note in " << list << " that this test needs root: " << std::strerror(error);
    }
}

} // namespace

bool runsAsRoot()
{
    if (::geteuid() == 0) {
        return true;
    }
    noteRunningTest();
    return false;
}

} // namespace cordavelle::test
