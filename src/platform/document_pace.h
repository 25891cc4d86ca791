#pragma once

#include "clock.h"

#include <QtGlobal>

#include <chrono>
#include <deque>

namespace cordavelle {

// The pace a document must keep once its transfer has outlasted its limit: what came in the last
// minute must average a slow link's 2 kB a second. A slow link may take minutes over a whole
// release list or script; a trickle may not. The pace is judged on the last minute alone, so
// that a burst early on buys no time for a trickle after it.
class DocumentPace {
public:
    static constexpr qint64 kSteadyRate = 2048;
    static constexpr std::chrono::seconds kWindow{60};

    // The pace counts from `limit` on.
    explicit DocumentPace(Clock::SteadyTime limit) : m_limit(limit) {}

    void add(Clock::SteadyTime at, qint64 bytes);

    // The bytes that came in the window ending at `now`.
    qint64 recent(Clock::SteadyTime now) const;

    // The first moment from `now` on at which the transfer is behind the pace if nothing more
    // comes: `now` itself when it is behind already.
    Clock::SteadyTime behindAt(Clock::SteadyTime now) const;

private:
    // Arrivals within a second of each other are kept as one, so that a fast transfer keeps a
    // minute's worth of pieces at most; a piece leaves the window a minute after its last byte.
    struct Piece {
        Clock::SteadyTime first;
        Clock::SteadyTime last;
        qint64 bytes = 0;
    };

    Clock::SteadyTime m_limit;
    std::deque<Piece> m_pieces;
};

} // namespace cordavelle
