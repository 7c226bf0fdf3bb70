#include "roi/Region.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace tarvolen {
namespace {

bool parseInt(const std::string& text, int& value) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(begin, &end, 10);
    while (*end == ' ') ++end;
    if (end == begin || *end != '\0' || errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) return false;
    value = static_cast<int>(parsed);
    return true;
}

// The part of r inside the frame, computed without overflow.
cv::Rect clipToFrame(const cv::Rect& r, cv::Size frameSize) {
    const long long x0 = std::max<long long>(r.x, 0);
    const long long y0 = std::max<long long>(r.y, 0);
    const long long x1 = std::min<long long>(static_cast<long long>(r.x) + r.width, frameSize.width);
    const long long y1 = std::min<long long>(static_cast<long long>(r.y) + r.height, frameSize.height);
    if (x1 <= x0 || y1 <= y0) return cv::Rect();
    return cv::Rect(static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0),
                    static_cast<int>(y1 - y0));
}

}  // namespace

std::optional<cv::Rect> parseRegion(const std::string& text, std::string& error) {
    int values[4];
    std::size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t comma = text.find(',', start);
        if ((i < 3) != (comma != std::string::npos)) {
            error = "expected X,Y,W,H";
            return std::nullopt;
        }
        const std::string field = text.substr(start, i < 3 ? comma - start : std::string::npos);
        if (!parseInt(field, values[i])) {
            error = "expected X,Y,W,H as integers";
            return std::nullopt;
        }
        start = comma + 1;
    }
    if (values[2] < 1 || values[3] < 1) {
        error = "W and H must be at least 1";
        return std::nullopt;
    }
    return cv::Rect(values[0], values[1], values[2], values[3]);
}

std::optional<cv::Rect> regionOutsideFrame(const std::vector<cv::Rect>& regions, cv::Size frameSize) {
    for (const cv::Rect& r : regions) {
        if (clipToFrame(r, frameSize).empty()) return r;
    }
    return std::nullopt;
}

cv::Mat regionMask(const std::vector<cv::Rect>& regions, cv::Size frameSize) {
    if (regions.empty()) return cv::Mat(frameSize, CV_8UC1, cv::Scalar(255));
    cv::Mat mask = cv::Mat::zeros(frameSize, CV_8UC1);
    for (const cv::Rect& r : regions) {
        const cv::Rect inside = clipToFrame(r, frameSize);
        if (!inside.empty()) mask(inside).setTo(255);
    }
    return mask;
}

}  // namespace tarvolen
