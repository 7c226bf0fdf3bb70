#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "media/PacketRing.h"

namespace tarvolen {
namespace {

using std::chrono::milliseconds;
using Clock = PacketRing::Clock;

const Clock::time_point kStart{};

// Packet `n` arrives n × 100 ms after the start, `bytes` long; its media
// time tells it apart.
StreamPacket packet(int n, bool keyframe, std::size_t bytes = 10) {
    StreamPacket p;
    p.keyframe = keyframe;
    p.mediaMs = n;
    p.arrival = kStart + milliseconds(100) * n;
    p.bytes = bytes;
    return p;
}

std::vector<int> readAll(PacketRing::Reader& reader, PacketRing::Next* last = nullptr) {
    std::vector<int> seen;
    StreamPacket p;
    PacketRing::Next next;
    while ((next = reader.next(p, milliseconds(0))) == PacketRing::Next::Packet) seen.push_back(static_cast<int>(p.mediaMs));
    if (last != nullptr) *last = next;
    return seen;
}

class PacketRingTest : public ::testing::Test {
protected:
    // Keyframes at 0, 5, 10, ...; five seconds kept.
    PacketRing ring{PacketRingLimits{milliseconds(500), 1000}};
    void SetUp() override { ring.restart(std::make_shared<StreamLayout>()); }
    void push(int from, int to) {
        for (int n = from; n < to; ++n) ring.push(packet(n, n % 5 == 0));
    }
};

TEST_F(PacketRingTest, AReaderStartsAtTheLastKeyframeAtOrBeforeItsTimeAndFollowsTheSource) {
    push(0, 9);
    const auto reader = ring.readFrom(kStart + milliseconds(780));  // packet 7.8: keyframe 5
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->startMediaMs(), 5);
    EXPECT_EQ(readAll(*reader), (std::vector<int>{5, 6, 7, 8}));
    push(9, 11);
    EXPECT_EQ(readAll(*reader), (std::vector<int>{9, 10}));
}

TEST_F(PacketRingTest, HistoryGoesBackToAKeyframeButNeverFromUnderAReader) {
    push(0, 20);
    // 500 ms before packet 19 is 14: the keyframe at or before it is 10.
    EXPECT_EQ(ring.packetsHeld(), 10u);
    const auto slow = ring.readFrom(kStart + milliseconds(1000));
    push(20, 40);
    EXPECT_EQ(readAll(*slow).front(), 10) << "what the reader had not read was kept";
}

TEST_F(PacketRingTest, AReaderTooFarBehindTheBoundIsBrokenNotFedAGap) {
    const auto slow = ring.readFrom(kStart);
    for (int n = 0; n < 150; ++n) ring.push(packet(n, n % 5 == 0));  // 1500 bytes against 1000
    EXPECT_LE(ring.bytesHeld(), 1000u);
    PacketRing::Next last;
    EXPECT_TRUE(readAll(*slow, &last).empty());
    EXPECT_EQ(last, PacketRing::Next::Broken);
}

TEST_F(PacketRingTest, ALostSourceEndsItsReadersAfterWhatTheyHadAndANewOneStartsClean) {
    push(0, 4);
    const auto reader = ring.readFrom(kStart);
    ring.interruptSource();
    EXPECT_EQ(ring.readFrom(kStart), nullptr) << "no clip starts from a source that is away";
    PacketRing::Next last;
    EXPECT_EQ(readAll(*reader, &last), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(last, PacketRing::Next::Broken);
    ring.restart(std::make_shared<StreamLayout>());
    EXPECT_EQ(ring.packetsHeld(), 0u);
    push(10, 12);
    const auto fresh = ring.readFrom(kStart + milliseconds(1200));
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(readAll(*fresh), (std::vector<int>{10, 11}));
}

}  // namespace
}  // namespace tarvolen
