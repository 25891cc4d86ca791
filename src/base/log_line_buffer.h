#pragma once

#include <QByteArray>
#include <QStringList>

#include <mutex>

namespace cordavelle {

// Cuts a child's raw output into text lines. The output reader feeds it from its own thread
// while `reset` comes from the main thread, so the partial line is guarded by a mutex.
class LogLineBuffer {
public:
    // A partial line longer than this loses its oldest bytes, down to `kKeptBytes`.
    static constexpr qsizetype kMaxBytes = 1024 * 1024;
    static constexpr qsizetype kKeptBytes = 512 * 1024;

    // Appends a chunk and returns the complete, non-empty lines it finished, without their
    // terminators ("\n", or "\r\n"). Invalid UTF-8 becomes U+FFFD.
    QStringList append(const QByteArray &chunk);
    // The partial line as a last line, as if the output had ended with a line feed, for a child
    // that has ended; the buffer is empty afterwards.
    QStringList finish();
    // Forgets the partial line, so a new child starts clean.
    void reset();
    // The bytes after the last line feed.
    QByteArray pending() const;

private:
    mutable std::mutex m_mutex;
    QByteArray m_buffer;
};

} // namespace cordavelle
