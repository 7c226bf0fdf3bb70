#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "detector/ObjectExtraction.h"

namespace tarvolen {
namespace {

cv::Mat blankMask(int w = 40, int h = 30) { return cv::Mat::zeros(h, w, CV_8UC1); }

void setBlock(cv::Mat& m, int x, int y, int w, int h) { m(cv::Rect(x, y, w, h)).setTo(255); }

TEST(Proximity, GapOfSixIsNearAndSevenIsNot) {
    const cv::Rect a(10, 10, 5, 5);  // right edge (one past) at 15
    EXPECT_TRUE(boxesAreNear(a, cv::Rect(21, 10, 5, 5)));
    EXPECT_FALSE(boxesAreNear(a, cv::Rect(22, 10, 5, 5)));
    EXPECT_TRUE(boxesAreNear(a, cv::Rect(10, 21, 5, 5)));
    EXPECT_FALSE(boxesAreNear(a, cv::Rect(10, 22, 5, 5)));
    // Both axes must be near.
    EXPECT_FALSE(boxesAreNear(a, cv::Rect(21, 22, 5, 5)));
    // Symmetric, and containment counts as near.
    EXPECT_TRUE(boxesAreNear(cv::Rect(21, 10, 5, 5), a));
    EXPECT_FALSE(boxesAreNear(cv::Rect(22, 10, 5, 5), a));
    EXPECT_TRUE(boxesAreNear(cv::Rect(0, 0, 100, 100), a));
}

TEST(Erosion, InteriorRegionLosesTopRowAndLeftColumn) {
    cv::Mat m = blankMask();
    setBlock(m, 10, 10, 4, 3);
    cv::Mat eroded;
    erodeEventMask(m, eroded);
    cv::Mat expected = blankMask();
    setBlock(expected, 11, 11, 3, 2);
    EXPECT_EQ(cv::countNonZero(eroded != expected), 0);
    EXPECT_EQ(cv::countNonZero(m), 12) << "the input is left alone";
}

TEST(Erosion, RegionAtTheTopLeftEdgeKeepsItsEdgePixels) {
    cv::Mat m = blankMask();
    setBlock(m, 0, 0, 3, 3);
    cv::Mat eroded;
    erodeEventMask(m, eroded);
    EXPECT_EQ(cv::countNonZero(eroded), 9);
    // Bottom and right edges are not special: the region still loses its
    // top row and left column.
    cv::Mat n = blankMask();
    setBlock(n, 37, 27, 3, 3);
    erodeEventMask(n, eroded);
    EXPECT_EQ(cv::countNonZero(eroded), 4);
}

TEST(Erosion, IsolatedPixelsAndThinLinesVanish) {
    cv::Mat m = blankMask();
    m.at<unsigned char>(5, 5) = 255;
    setBlock(m, 10, 2, 15, 1);
    setBlock(m, 30, 5, 1, 12);
    cv::Mat eroded;
    erodeEventMask(m, eroded);
    EXPECT_EQ(cv::countNonZero(eroded), 0);
}

class Candidates : public ::testing::Test {
protected:
    std::vector<ObjectTrack> find(const cv::Mat& eroded, ObjectSizeLimits limits = {2, 2, 64, 64}) {
        std::vector<ObjectTrack> out;
        findCandidates(eroded, limits, contours, out);
        return out;
    }
    std::vector<std::vector<cv::Point>> contours;
};

TEST_F(Candidates, FourPixelsAreRejectedAndFiveAccepted) {
    cv::Mat m = blankMask();
    setBlock(m, 5, 5, 2, 2);
    EXPECT_TRUE(find(m).empty());
    m.at<unsigned char>(7, 6) = 255;  // a fifth pixel below the square
    const auto found = find(m);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].box, cv::Rect(5, 5, 2, 3));
    EXPECT_EQ(found[0].score, kNewTrackScore);
}

TEST_F(Candidates, PixelsOfOtherRegionsInsideTheBoxCount) {
    // A diagonal of four pixels: one region, box 4 x 4, only four pixels.
    cv::Mat m = blankMask();
    for (int i = 0; i < 4; ++i) m.at<unsigned char>(10 + i, 10 + i) = 255;
    EXPECT_TRUE(find(m).empty());
    // A pixel of its own, not touching the diagonal, inside that box.
    m.at<unsigned char>(13, 10) = 255;
    const auto found = find(m);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].box, cv::Rect(10, 10, 4, 4));
}

struct SizeCase {
    int w;
    int h;
    bool accepted;
};

class SizeLimits : public ::testing::TestWithParam<SizeCase> {};

TEST_P(SizeLimits, AreInclusive) {
    const SizeCase c = GetParam();
    cv::Mat m = blankMask(60, 60);
    setBlock(m, 10, 10, c.w, c.h);
    std::vector<std::vector<cv::Point>> contours;
    std::vector<ObjectTrack> out;
    findCandidates(m, {3, 4, 10, 12}, contours, out);
    EXPECT_EQ(out.size(), c.accepted ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Boxes, SizeLimits,
                         ::testing::Values(SizeCase{3, 4, true}, SizeCase{2, 4, false}, SizeCase{3, 3, false},
                                           SizeCase{10, 12, true}, SizeCase{11, 12, false},
                                           SizeCase{10, 13, false}, SizeCase{6, 6, true}));

ObjectTrack track(int x, int y, int score, int w = 5, int h = 5) { return {cv::Rect(x, y, w, h), score}; }

TEST(TrackUpdate, WithoutCandidatesEveryTrackDecaysAndScoreOneDisappears) {
    std::vector<ObjectTrack> tracks{track(0, 0, 1), track(50, 0, 6), track(100, 0, 2)};
    updateTracks(tracks, {});
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0].score, 5);
    EXPECT_EQ(tracks[1].score, 1);
}

TEST(TrackUpdate, CandidateRefreshesEveryNearTrack) {
    std::vector<ObjectTrack> tracks{track(0, 0, 6), track(8, 0, 6)};
    updateTracks(tracks, {track(4, 0, kNewTrackScore, 3, 3)});
    // Two tracks only: no suppression, both take the box and gain 2.
    ASSERT_EQ(tracks.size(), 2u);
    for (const ObjectTrack& t : tracks) {
        EXPECT_EQ(t.score, 7);
        EXPECT_EQ(t.box, cv::Rect(4, 0, 3, 3));
    }
}

TEST(TrackUpdate, TrackNearSeveralCandidatesGainsForEachAndKeepsTheLastBox) {
    std::vector<ObjectTrack> tracks{track(10, 10, 3, 20, 20)};
    updateTracks(tracks, {track(12, 12, 6, 3, 3), track(16, 12, 6, 3, 3)});
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0].score, 3 - 1 + 2 + 2);
    EXPECT_EQ(tracks[0].box, cv::Rect(16, 12, 3, 3));
}

TEST(TrackUpdate, LaterCandidatesSeeTheBoxEarlierOnesLeft) {
    // The first candidate shrinks the track's box, so the second, though
    // inside the old box, is no longer near it and starts a track of its own.
    std::vector<ObjectTrack> tracks{track(10, 10, 3, 20, 20)};
    updateTracks(tracks, {track(12, 12, 6, 3, 3), track(25, 25, 6, 3, 3)});
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0].box, cv::Rect(12, 12, 3, 3));
    EXPECT_EQ(tracks[0].score, 4);
    EXPECT_EQ(tracks[1].box, cv::Rect(25, 25, 3, 3));
    EXPECT_EQ(tracks[1].score, kNewTrackScore);
}

TEST(TrackUpdate, SecondNearCandidateRefreshesTheTrackTheFirstCreated) {
    std::vector<ObjectTrack> tracks;
    updateTracks(tracks, {track(10, 10, 6), track(18, 10, 6)});
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0].score, 8);
    EXPECT_EQ(tracks[0].box, cv::Rect(18, 10, 5, 5));
}

TEST(TrackUpdate, FarCandidatesAppendInOrderAndOldTracksKeepTheirPlace) {
    std::vector<ObjectTrack> tracks{track(100, 100, 4)};
    updateTracks(tracks, {track(0, 0, 6), track(50, 50, 6)});
    ASSERT_EQ(tracks.size(), 3u);
    EXPECT_EQ(tracks[0].box.x, 100);
    EXPECT_EQ(tracks[0].score, 3);
    EXPECT_EQ(tracks[1].box.x, 0);
    EXPECT_EQ(tracks[2].box.x, 50);
}

TEST(TrackUpdate, SuppressionNeedsThreeTracksAndZeroesTheWeakerNeighbour) {
    // Three tracks, the first two near each other; the third far away.
    std::vector<ObjectTrack> tracks{track(0, 0, 9), track(8, 0, 5), track(200, 0, 4)};
    updateTracks(tracks, {});
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0].score, 8);
    EXPECT_EQ(tracks[1].box.x, 200);
    // On a tie the later one goes.
    tracks = {track(0, 0, 5), track(8, 0, 5), track(200, 0, 4)};
    updateTracks(tracks, {});
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0].box.x, 0);
    // Exactly two near tracks survive.
    tracks = {track(0, 0, 5), track(8, 0, 5)};
    updateTracks(tracks, {});
    EXPECT_EQ(tracks.size(), 2u);
}

TEST(TrackUpdate, SuppressionComparesOnlyListNeighboursAndChainsZeroedScores) {
    // 0 and 2 are near each other but not neighbours; 1 is far from both.
    std::vector<ObjectTrack> tracks{track(0, 0, 5), track(300, 300, 5), track(8, 0, 9)};
    updateTracks(tracks, {});
    EXPECT_EQ(tracks.size(), 3u);
    // A chain of three near tracks: pair (0,1) zeroes 1, pair (1,2) then
    // compares 0 with track 2 and zeroes 1 again, so 0 and 2 stay.
    tracks = {track(0, 0, 7), track(8, 0, 7), track(16, 0, 7)};
    updateTracks(tracks, {});
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0].box.x, 0);
    EXPECT_EQ(tracks[1].box.x, 16);
}

std::vector<ObjectTrack> farApartTracks(int count) {
    std::vector<ObjectTrack> tracks;
    for (int i = 0; i < count; ++i) tracks.push_back(track((i % 20) * 20, (i / 20) * 20, 3));
    return tracks;
}

TEST(TrackUpdate, EightyTracksStayAndEightyOneAreDropped) {
    std::vector<ObjectTrack> tracks = farApartTracks(80);
    updateTracks(tracks, {});
    EXPECT_EQ(tracks.size(), 80u);
    tracks = farApartTracks(80);
    updateTracks(tracks, {track(1000, 1000, 6)});
    EXPECT_TRUE(tracks.empty());
}

}  // namespace
}  // namespace tarvolen
