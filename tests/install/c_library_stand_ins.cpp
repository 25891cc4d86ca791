#include "c_library_stand_ins.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace cordavelle::test {

std::string g_fixedModeSuffix;
std::string g_unreadableSuffix;
std::string g_busySuffix;
HeldRemoval g_heldRemoval;

namespace {

bool endsWithSuffix(const char *path, const std::string &suffix)
{
    const std::size_t length = std::strlen(path);
    return !suffix.empty() && length >= suffix.size() &&
           suffix.compare(0, std::string::npos, path + length - suffix.size()) == 0;
}

} // namespace

void HeldRemoval::holdAt(const char *path)
{
    std::unique_lock<std::mutex> held(lock);
    if (!endsWithSuffix(path, suffix)) {
        return;
    }
    suffix.clear();
    QMetaObject::invokeMethod(
        qApp,
        [this] {
            meanwhile();
            const std::lock_guard<std::mutex> opening(lock);
            open = true;
            opened.notify_all();
        },
        Qt::QueuedConnection);
    opened.wait(held, [this] { return open; });
}

} // namespace cordavelle::test

using cordavelle::test::g_busySuffix;
using cordavelle::test::g_fixedModeSuffix;
using cordavelle::test::g_unreadableSuffix;

// Stands in for the C library's chmod in this test program.
extern "C" int chmod(const char *path, mode_t mode)
{
    using Chmod = int (*)(const char *, mode_t);
    static const auto real = reinterpret_cast<Chmod>(::dlsym(RTLD_NEXT, "chmod"));
    if (cordavelle::test::endsWithSuffix(path, g_fixedModeSuffix)) {
        errno = EPERM;
        return -1;
    }
    return real(path, mode);
}

// Stands in for the C library's rename in this test program.
extern "C" int rename(const char *from, const char *to)
{
    using Rename = int (*)(const char *, const char *);
    static const auto real = reinterpret_cast<Rename>(::dlsym(RTLD_NEXT, "rename"));
    if (cordavelle::test::endsWithSuffix(to, g_unreadableSuffix) && ::chmod(from, 0) != 0) {
        return -1;
    }
    return real(from, to);
}

// Stand in for the C library's unlinkat and unlink in this test program.
extern "C" int unlinkat(int folder, const char *path, int flags)
{
    using Unlinkat = int (*)(int, const char *, int);
    static const auto real = reinterpret_cast<Unlinkat>(::dlsym(RTLD_NEXT, "unlinkat"));
    if (cordavelle::test::endsWithSuffix(path, g_busySuffix)) {
        g_busySuffix.clear();
        errno = EBUSY;
        return -1;
    }
    cordavelle::test::g_heldRemoval.holdAt(path);
    return real(folder, path, flags);
}

extern "C" int unlink(const char *path) { return unlinkat(AT_FDCWD, path, 0); }
