#include "detector/ObjectExtraction.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include <opencv2/imgproc.hpp>

namespace tarvolen {
namespace {

constexpr int kNearMargin = 3;      // px added on every side before the overlap test
constexpr int kMinPixelsInBox = 5;  // set pixels of the eroded mask a box must hold
constexpr int kRefreshBonus = 2;    // score gained per nearby candidate in a pass
constexpr int kDecayPerPass = 1;    // score lost by every track in a pass
constexpr int kSuppressionMinTracks = 3;

// Scores have no upper bound; saturate rather than overflow on endless refreshes.
int addScore(int score, int delta) {
    const std::int64_t sum = static_cast<std::int64_t>(score) + delta;
    return static_cast<int>(std::clamp<std::int64_t>(sum, INT_MIN, INT_MAX));
}

bool passesSizeLimits(const cv::Rect& box, const ObjectSizeLimits& limits) {
    return box.width <= limits.maxWidth && box.height <= limits.maxHeight && box.width >= limits.minWidth &&
           box.height >= limits.minHeight;
}

void associate(std::vector<ObjectTrack>& tracks, const ObjectTrack& candidate) {
    bool refreshed = false;
    // Indexing, not iterators: appending below must not invalidate the walk.
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        if (boxesAreNear(tracks[i].box, candidate.box)) {
            tracks[i].box = candidate.box;
            tracks[i].score = addScore(tracks[i].score, kRefreshBonus);
            refreshed = true;
        }
    }
    if (!refreshed) tracks.push_back(candidate);
}

// Of two neighbouring tracks that are near each other, the weaker (the later
// one on a tie) is zeroed so that pruning removes it.
void suppressNeighbours(std::vector<ObjectTrack>& tracks) {
    if (tracks.size() < static_cast<std::size_t>(kSuppressionMinTracks)) return;
    for (std::size_t j = 0; j + 1 < tracks.size(); ++j) {
        ObjectTrack& a = tracks[j];
        ObjectTrack& b = tracks[j + 1];
        if (!boxesAreNear(a.box, b.box)) continue;
        if (a.score < b.score) {
            a.score = 0;
        } else {
            b.score = 0;
        }
    }
}

// Index of the first / last non-zero byte of a row that has one, a word of
// eight bytes at a time.
int firstSet(const unsigned char* row, int width) {
    int x = 0;
    for (std::uint64_t word = 0; x + 8 <= width; x += 8) {
        std::memcpy(&word, row + x, sizeof word);
        if (word != 0) break;
    }
    while (row[x] == 0) ++x;
    return x;
}

int lastSet(const unsigned char* row, int width) {
    int end = width;
    for (std::uint64_t word = 0; end >= 8; end -= 8) {
        std::memcpy(&word, row + end - 8, sizeof word);
        if (word != 0) break;
    }
    int x = end - 1;
    while (row[x] == 0) --x;
    return x;
}

}  // namespace

bool boxesAreNear(const cv::Rect& a, const cv::Rect& b) {
    // 64-bit so that boxes far outside a frame cannot overflow.
    const std::int64_t m = kNearMargin;
    const std::int64_t ax = a.x, ay = a.y, aw = a.width, ah = a.height;
    const std::int64_t bx = b.x, by = b.y, bw = b.width, bh = b.height;
    return ax - m <= bx + bw + m && bx - m <= ax + aw + m && ay - m <= by + bh + m && by - m <= ay + ah + m;
}

void erodeEventMask(const cv::Mat& mask, cv::Mat& eroded) {
    CV_Assert(mask.type() == CV_8UC1);
    // The one-pass erosion needs continuous rows and a source apart from the
    // destination.
    const cv::Mat source = mask.isContinuous() && mask.data != eroded.data ? mask : mask.clone();
    eroded.create(source.size(), CV_8UC1);
    if (!eroded.isContinuous()) eroded = cv::Mat(source.size(), CV_8UC1);
    erodeRows(source.ptr<unsigned char>(), source.cols, 0, source.rows, eroded.ptr<unsigned char>());
}

cv::Rect erodeRows(const unsigned char* mask, int width, int rowBegin, int rowEnd, unsigned char* eroded) {
    const std::size_t w = static_cast<std::size_t>(width);
    int top = -1, bottom = -1, left = width, right = -1;
    for (int y = rowBegin; y < rowEnd; ++y) {
        const unsigned char* row = mask + static_cast<std::size_t>(y) * w;
        // Outside the image counts as 255, the identity of the minimum: the
        // first row stands in for the row above it, the first column for
        // the column left of it.
        const unsigned char* above = y > 0 ? row - w : row;
        unsigned char* out = eroded + static_cast<std::size_t>(y) * w;
        out[0] = std::min(row[0], above[0]);
        unsigned char anySet = out[0];
        for (std::size_t x = 1; x < w; ++x) {
            out[x] = std::min(std::min(row[x], row[x - 1]), std::min(above[x], above[x - 1]));
            anySet |= out[x];
        }
        if (anySet == 0) continue;
        if (top < 0) top = y;
        bottom = y;
        left = std::min(left, firstSet(out, width));
        right = std::max(right, lastSet(out, width));
    }
    if (top < 0) return {};
    return {left, top, right - left + 1, bottom - top + 1};
}

void findCandidates(const cv::Mat& eroded, const ObjectSizeLimits& limits,
                    std::vector<std::vector<cv::Point>>& contours, std::vector<ObjectTrack>& candidates) {
    findCandidates(eroded, cv::Rect(0, 0, eroded.cols, eroded.rows), limits, contours, candidates);
}

void findCandidates(const cv::Mat& eroded, const cv::Rect& setPixels, const ObjectSizeLimits& limits,
                    std::vector<std::vector<cv::Point>>& contours, std::vector<ObjectTrack>& candidates) {
    candidates.clear();
    if (setPixels.empty()) {
        contours.clear();
        return;
    }
    // Outside setPixels the image is all zero, so tracing the part gives the
    // same contours in the same order, shifted by the offset.
    cv::findContours(eroded(setPixels), contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, setPixels.tl());
    for (const std::vector<cv::Point>& contour : contours) {
        const cv::Rect box = cv::boundingRect(contour);
        if (!passesSizeLimits(box, limits)) continue;
        if (cv::countNonZero(eroded(box)) < kMinPixelsInBox) continue;
        candidates.push_back({box, kNewTrackScore});
    }
}

void updateTracks(std::vector<ObjectTrack>& tracks, const std::vector<ObjectTrack>& candidates) {
    for (ObjectTrack& track : tracks) track.score = addScore(track.score, -kDecayPerPass);
    for (const ObjectTrack& candidate : candidates) associate(tracks, candidate);
    suppressNeighbours(tracks);
    tracks.erase(
        std::remove_if(tracks.begin(), tracks.end(), [](const ObjectTrack& t) { return t.score <= 0; }),
        tracks.end());
    if (tracks.size() > static_cast<std::size_t>(kMaxTracks)) tracks.clear();
}

}  // namespace tarvolen
