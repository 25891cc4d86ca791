#include "document_pace.h"

#include <algorithm>

namespace cordavelle {

namespace {

constexpr qint64 kNeeded = DocumentPace::kSteadyRate * DocumentPace::kWindow.count();

} // namespace

void DocumentPace::add(Clock::SteadyTime at, qint64 bytes)
{
    // Time only moves on: a piece out of the window now never counts again.
    while (!m_pieces.empty() && m_pieces.front().last <= at - kWindow) {
        m_pieces.pop_front();
    }
    if (!m_pieces.empty() && at - m_pieces.back().first < std::chrono::seconds(1)) {
        m_pieces.back().last = at;
        m_pieces.back().bytes += bytes;
    } else {
        m_pieces.push_back({at, at, bytes});
    }
}

qint64 DocumentPace::recent(Clock::SteadyTime now) const
{
    qint64 sum = 0;
    for (const Piece &piece : m_pieces) {
        if (piece.last > now - kWindow) {
            sum += piece.bytes;
        }
    }
    return sum;
}

Clock::SteadyTime DocumentPace::behindAt(Clock::SteadyTime now) const
{
    const Clock::SteadyTime from = std::max(now, m_limit);
    qint64 sum = recent(from);
    if (sum < kNeeded) {
        return from;
    }
    // The pieces leave the window oldest first; the pace falls behind as the one leaves that
    // takes the rest below what is needed.
    for (const Piece &piece : m_pieces) {
        if (piece.last <= from - kWindow) {
            continue;
        }
        sum -= piece.bytes;
        if (sum < kNeeded) {
            return piece.last + kWindow;
        }
    }
    return from;
}

} // namespace cordavelle
