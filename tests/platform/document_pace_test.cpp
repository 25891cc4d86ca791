#include "platform/document_pace.h"

#include <gtest/gtest.h>

#include <vector>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;

// When a document whose limit is at 120 s falls behind if nothing more comes, from the pieces
// that came so far.
TEST(DocumentPace, ATransferFallsBehindOnceTheLastMinuteIsBelowTheSteadyPace)
{
    using ms = std::chrono::milliseconds;
    const struct {
        const char *name;
        std::vector<std::pair<ms, qint64>> arrivals;
        ms now;
        ms behindAt;
    } cases[] = {
        {"nothing came", {}, 0s, 120s},
        {"a burst at the start buys nothing", {{0s, 8000000}}, 0s, 120s},
        {"a burst keeps the pace for the minute after it", {{100s, 200000}}, 100s, 160s},
        {"pieces within a second leave with the last", {{100s, 100000}, {100900ms, 100000}}, 101s, 160900ms},
        {"behind already", {{130s, 1000}}, 150s, 150s},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Clock::SteadyTime begun{};
        DocumentPace pace(begun + 120s);
        for (const auto &[at, bytes] : c.arrivals) {
            pace.add(begun + at, bytes);
        }
        EXPECT_EQ(pace.behindAt(begun + c.now) - begun, c.behindAt);
    }

    // 3 kB a second keeps the pace: at 300 s the last minute holds 180 kB, which falls below
    // 2 kB a second (122,880 bytes) once the twenty oldest seconds have left it.
    const Clock::SteadyTime begun{};
    DocumentPace steady(begun + 120s);
    for (int second = 0; second <= 300; ++second) {
        steady.add(begun + std::chrono::seconds(second), 3000);
    }
    EXPECT_EQ(steady.recent(begun + 300s), 180000);
    EXPECT_EQ(steady.behindAt(begun + 300s) - begun, 320s);
}

} // namespace
} // namespace cordavelle
