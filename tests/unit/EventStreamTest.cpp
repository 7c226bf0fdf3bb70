#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "events/EventRules.h"
#include "events/EventStream.h"

namespace tarvolen {
namespace {

// "..##...#" -> {false, false, true, true, ...}
std::vector<bool> flags(const std::string& pattern) {
    std::vector<bool> out;
    for (char c : pattern) out.push_back(c == '#');
    return out;
}

EventRules rules(std::int64_t pre, std::int64_t post, std::int64_t minRun) {
    EventRules r;
    r.pre = pre;
    r.post = post;
    r.minRun = minRun;
    return r;
}

// The verdicts the batch spans imply for every frame.
std::vector<FrameVerdict> expectedVerdicts(const std::vector<bool>& active, const EventRules& r,
                                           int maxEvents = 0) {
    std::vector<FrameVerdict> out;
    for (std::size_t i = 0; i < active.size(); ++i)
        out.push_back({static_cast<std::int64_t>(i), 0, false, false});
    const std::vector<EventSpan> spans = batchEventSpans(active, r);
    for (std::size_t k = 0; k < spans.size(); ++k) {
        if (maxEvents > 0 && static_cast<int>(k) >= maxEvents) break;
        for (std::int64_t f = spans[k].start; f <= spans[k].end; ++f) {
            out[f].event = static_cast<int>(k) + 1;
            out[f].first = f == spans[k].start;
            out[f].last = f == spans[k].end;
        }
    }
    return out;
}

// Streams the flags; checks the order of the verdicts and the lag bound.
std::vector<FrameVerdict> streamVerdicts(const std::vector<bool>& active, const EventRules& r,
                                         int maxEvents = 0) {
    EventStream stream(r, maxEvents);
    std::vector<FrameVerdict> out;
    for (bool a : active) {
        stream.push(a, out);
        EXPECT_LE(stream.framesPushed() - stream.framesSettled(), stream.maxLag());
        EXPECT_EQ(stream.framesSettled(), static_cast<std::int64_t>(out.size()));
    }
    stream.finish(out);
    EXPECT_EQ(stream.framesSettled(), static_cast<std::int64_t>(active.size()));
    return out;
}

std::string describe(const std::vector<bool>& active, const EventRules& r) {
    std::string s = "pre " + std::to_string(r.pre) + " post " + std::to_string(r.post) + " minRun " +
                    std::to_string(r.minRun) + " flags ";
    for (bool a : active) s += a ? '#' : '.';
    return s;
}

void expectStreamMatchesBatch(const std::vector<bool>& active, const EventRules& r) {
    const std::vector<FrameVerdict> got = streamVerdicts(active, r);
    const std::vector<FrameVerdict> want = expectedVerdicts(active, r);
    ASSERT_EQ(got.size(), want.size()) << describe(active, r);
    for (std::size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(got[i], want[i]) << "frame " << i << ": " << describe(active, r);
    }
}

TEST(EventFrameRate, UsesTheReportedRateOnlyWhenPlausible) {
    EXPECT_EQ(eventFrameRate(25.0), 25.0);
    EXPECT_EQ(eventFrameRate(1000.0), 1000.0);
    EXPECT_EQ(eventFrameRate(0.5), 0.5);
    EXPECT_EQ(eventFrameRate(1000.5), 30.0);
    EXPECT_EQ(eventFrameRate(0.0), 30.0);
    EXPECT_EQ(eventFrameRate(-25.0), 30.0);
    EXPECT_EQ(eventFrameRate(std::numeric_limits<double>::quiet_NaN()), 30.0);
    EXPECT_EQ(eventFrameRate(std::numeric_limits<double>::infinity()), 30.0);
}

TEST(EventRulesFor, RoundsSecondsToFrames) {
    const EventRules r = eventRulesFor(10.0, 1.5, 2.0, 0.0);
    EXPECT_EQ(r.pre, 15);
    EXPECT_EQ(r.post, 20);
    EXPECT_EQ(r.minRun, 1);
    const EventRules half = eventRulesFor(25.0, 0.02, 0.06, 0.1);  // 0.5, 1.5, 2.5 frames
    EXPECT_EQ(half.pre, 1);
    EXPECT_EQ(half.post, 2);
    EXPECT_EQ(half.minRun, 3);
    EXPECT_EQ(eventRulesFor(30.0, 0.0, 0.0, 0.01).minRun, 1);  // rounds to 0, at least 1
}

TEST(EventRulesFor, RefusesDurationsOutsideTheRange) {
    EXPECT_THROW(eventRulesFor(30.0, -0.1, 0, 0), std::invalid_argument);
    EXPECT_THROW(eventRulesFor(30.0, 0, std::nan(""), 0), std::invalid_argument);
    EXPECT_THROW(eventRulesFor(30.0, 0, 0, kMaxEventSeconds * 2), std::invalid_argument);
    EXPECT_NO_THROW(eventRulesFor(1000.0, kMaxEventSeconds, kMaxEventSeconds, kMaxEventSeconds));
}

struct BatchCase {
    const char* name;
    const char* pattern;
    EventRules rules;
    std::vector<EventSpan> spans;
};

class BatchSpans : public ::testing::TestWithParam<BatchCase> {};

TEST_P(BatchSpans, FollowTheRules) {
    const BatchCase& c = GetParam();
    EXPECT_EQ(batchEventSpans(flags(c.pattern), c.rules), c.spans);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BatchSpans,
    ::testing::Values(
        BatchCase{"nothing", "........", rules(2, 2, 1), {}}, BatchCase{"empty", "", rules(2, 2, 1), {}},
        BatchCase{"one run padded", "....##......", rules(2, 3, 1), {{2, 8}}},
        BatchCase{"padding clipped at both ends", "#........#", rules(3, 3, 1), {{0, 3}, {6, 9}}},
        BatchCase{"whole file active", "#####", rules(2, 2, 1), {{0, 4}}},
        BatchCase{"overlapping spans merge", "#...#", rules(2, 2, 1), {{0, 4}}},
        // [0, 2] and [3, 5]: 3 = 2 + 1, adjacent spans merge
        BatchCase{"adjacent spans merge", "#....#", rules(2, 2, 1), {{0, 5}}},
        // [0, 2] and [4, 6]: frame 3 is in neither, two events
        BatchCase{"one uncovered frame splits", "#.....#", rules(2, 2, 1), {{0, 2}, {4, 6}}},
        BatchCase{"short run dropped", "..##...####..", rules(0, 0, 3), {{7, 10}}},
        BatchCase{"run of exactly minRun kept", "..###..", rules(1, 1, 3), {{1, 5}}},
        BatchCase{"short run inside padding counts as covered", "##..#####...", rules(3, 0, 4), {{1, 8}}},
        BatchCase{"no padding", ".##.#.", rules(0, 0, 1), {{1, 2}, {4, 4}}},
        BatchCase{"pre overlapping previous event", "#....#", rules(4, 0, 1), {{0, 5}}}));

// Exhaustive over all short sequences for small rules.
TEST(EventStreamProperty, EqualsBatchOnEveryShortSequence) {
    for (int length = 0; length <= 11; ++length) {
        for (std::int64_t pre = 0; pre <= 3; ++pre) {
            for (std::int64_t post = 0; post <= 3; ++post) {
                for (std::int64_t minRun = 1; minRun <= 3; ++minRun) {
                    for (unsigned bits = 0; bits < (1u << length); ++bits) {
                        std::vector<bool> active(length);
                        for (int i = 0; i < length; ++i) active[i] = (bits >> i) & 1u;
                        expectStreamMatchesBatch(active, rules(pre, post, minRun));
                        if (::testing::Test::HasFatalFailure()) return;
                    }
                }
            }
        }
    }
}

// Long random sequences of bursts and gaps, with gap lengths drawn around
// post, post + 1, pre + post and minRun, the boundaries of the rules.
TEST(EventStreamProperty, EqualsBatchOnRandomBurstsAndGaps) {
    std::mt19937 random(20241207);
    for (int trial = 0; trial < 3000; ++trial) {
        const EventRules r = rules(random() % 12, random() % 12, 1 + random() % 8);
        const std::int64_t edges[] = {
            r.post, r.post + 1, r.pre + r.post, r.pre + r.post + 1, r.minRun - 1, r.minRun, 1, 0};
        std::vector<bool> active;
        bool burst = random() % 2;
        const int segments = 1 + random() % 12;
        for (int s = 0; s < segments; ++s, burst = !burst) {
            std::int64_t length = random() % 3 == 0 ? random() % 40 : edges[random() % 8] + random() % 3 - 1;
            for (std::int64_t i = 0; i < std::max<std::int64_t>(0, length); ++i) active.push_back(burst);
        }
        expectStreamMatchesBatch(active, r);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

TEST(EventStream, SettlesQuietFramesAfterPreFrames) {
    EventStream stream(rules(3, 2, 1));
    std::vector<FrameVerdict> out;
    for (int i = 0; i < 3; ++i) stream.push(false, out);
    EXPECT_TRUE(out.empty());  // a run at frame 3 would still reach back to frame 0
    stream.push(false, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], (FrameVerdict{0, 0, false, false}));
}

TEST(EventStream, OpensAnEventAtTheFirstActiveFrameWithItsPreFrames) {
    EventStream stream(rules(2, 2, 1));
    std::vector<FrameVerdict> out;
    for (int i = 0; i < 4; ++i) stream.push(false, out);  // frames 0..3
    out.clear();
    stream.push(true, out);  // frame 4: event from frame 2
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], (FrameVerdict{2, 1, true, false}));
    EXPECT_EQ(out[1], (FrameVerdict{3, 1, false, false}));
    // Frame 4 is the event's last should the stream end now.
    out.clear();
    stream.push(true, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], (FrameVerdict{4, 1, false, false}));
    EXPECT_EQ(stream.eventsStarted(), 1);
    EXPECT_EQ(stream.eventsCompleted(), 0);
}

TEST(EventStream, FinishClosesAnOpenEventAtTheLastFrame) {
    EventStream stream(rules(1, 5, 1));
    std::vector<FrameVerdict> out;
    for (bool a : flags("..###")) stream.push(a, out);
    stream.finish(out);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[4], (FrameVerdict{4, 1, false, true}));
    EXPECT_EQ(stream.eventsCompleted(), 1);
    stream.push(true, out);  // ignored after the end
    EXPECT_EQ(out.size(), 5u);
}

TEST(EventStream, FinishDropsAnUnfinishedShortRun) {
    EventStream stream(rules(2, 2, 4));
    std::vector<FrameVerdict> out;
    for (bool a : flags("....###")) stream.push(a, out);
    stream.finish(out);
    ASSERT_EQ(out.size(), 7u);
    for (const FrameVerdict& v : out) EXPECT_EQ(v.event, 0);
}

TEST(EventStream, ZeroPostEndsTheEventAtTheLastActiveFrame) {
    EventStream stream(rules(0, 0, 1));
    std::vector<FrameVerdict> out;
    stream.push(true, out);
    EXPECT_TRUE(out.empty());  // may go on
    stream.push(false, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], (FrameVerdict{0, 1, true, true}));
    EXPECT_EQ(out[1], (FrameVerdict{1, 0, false, false}));
}

// Quit-after: the stream stops after the N-th event is complete; the events
// it gave are the first N of the whole sequence's.
class QuitAfter : public ::testing::TestWithParam<int> {};

TEST_P(QuitAfter, StopsAfterTheNthEventIsComplete) {
    const int n = GetParam();
    const std::vector<bool> active = flags("..##......#.......###........#####.........#..");
    const EventRules r = rules(2, 3, 1);
    const std::vector<EventSpan> all = batchEventSpans(active, r);
    ASSERT_EQ(all.size(), 5u);

    EventStream stream(r, n);
    std::vector<FrameVerdict> out;
    std::size_t fed = 0;
    while (fed < active.size() && !stream.done()) stream.push(active[fed++], out);
    stream.finish(out);
    EXPECT_EQ(stream.eventsCompleted(), std::min<int>(n, 5));
    EXPECT_TRUE(stream.done() || n > 5);
    if (n <= 5) {
        // Stopped within the settling lag after the N-th event's end.
        EXPECT_LE(static_cast<std::int64_t>(fed) - 1, all[n - 1].end + stream.maxLag());
    }
    ASSERT_EQ(out.size(), fed);
    const std::vector<FrameVerdict> want = expectedVerdicts(active, r, n);
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], want[i]) << "frame " << i;
}

INSTANTIATE_TEST_SUITE_P(Counts, QuitAfter, ::testing::Values(1, 2, 3, 5, 6));

TEST(QuitAfterProperty, FirstNEventsEqualBatchOnRandomSequences) {
    std::mt19937 random(7);
    for (int trial = 0; trial < 2000; ++trial) {
        const EventRules r = rules(random() % 6, random() % 6, 1 + random() % 4);
        std::vector<bool> active(random() % 80);
        for (std::size_t i = 0; i < active.size(); ++i) active[i] = random() % 5 == 0;
        const int n = 1 + random() % 4;
        EventStream stream(r, n);
        std::vector<FrameVerdict> out;
        std::size_t fed = 0;
        while (fed < active.size() && !stream.done()) stream.push(active[fed++], out);
        stream.finish(out);
        const std::vector<FrameVerdict> want = expectedVerdicts(active, r, n);
        ASSERT_EQ(out.size(), fed);
        for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], want[i]) << describe(active, r);
    }
}

}  // namespace
}  // namespace tarvolen
