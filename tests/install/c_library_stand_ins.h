#pragma once

// Stand-ins for calls of the C library in the install test program, for what no file system a test
// can make behaves like. Each knob is empty, and its stand-in passes every call through, until a
// test sets it.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

namespace cordavelle::test {

// A file whose path ends so has a mode that can't be changed, as on a file system that keeps
// none: no file system a test can make without root behaves so.
extern std::string g_fixedModeSuffix;

// A file put in place at a path that ends so arrives with mode 0, which the user can't read back.
extern std::string g_unreadableSuffix;

// The first removal of an entry whose name ends so fails, as that of a file still open on a network
// file system does, for root too.
extern std::string g_busySuffix;

// The removal of an entry whose name ends so stops there, once, while `meanwhile` runs on the
// main thread: a removal caught in the middle of its walk, which runs on a thread of its own.
struct HeldRemoval {
    std::mutex lock;
    std::condition_variable opened;
    std::string suffix;
    std::function<void()> meanwhile;
    bool open = false;

    // Called by the stand-in of unlinkat(2) for each entry it is asked to remove.
    void holdAt(const char *path);
};

extern HeldRemoval g_heldRemoval;

} // namespace cordavelle::test
