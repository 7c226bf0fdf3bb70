#include "scan/ContactSheet.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "draw/Timecode.h"

namespace tarvolen {
namespace {

constexpr int kColumns = 4;
constexpr int kTileWidth = 320;  // px
constexpr int kMinPictureHeight = 40;
constexpr int kMaxPictureHeight = 640;
constexpr int kMargin = 16;  // px around everything
constexpr int kGap = 12;     // px between tiles
constexpr int kHeaderHeight = 36;
constexpr int kTimelineHeight = 36;
constexpr int kAxisHeight = 28;
constexpr int kLabelHeight = 26;
constexpr int kBoxMargin = 5;  // px added around a box at full size, as in the live view
constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;
const cv::Scalar kBackground(38, 38, 38);
const cv::Scalar kBarBackground(72, 72, 72);
const cv::Scalar kText(235, 235, 235);
const cv::Scalar kDimText(170, 170, 170);
const cv::Scalar kBoxColour(255, 0, 0);  // blue, as in the live view
// Distinct colours for neighbouring events (B, G, R).
const cv::Scalar kPalette[] = {{60, 180, 255},  {90, 220, 90},  {255, 160, 60},  {80, 80, 240},
                               {220, 120, 220}, {60, 230, 230}, {255, 110, 150}, {140, 200, 120}};

const cv::Scalar& colourOf(int eventNumber) {
    return kPalette[static_cast<std::size_t>(eventNumber - 1) % std::size(kPalette)];
}

void putText(cv::Mat& sheet, const std::string& text, cv::Point origin, double scale,
             const cv::Scalar& colour, int thickness = 1) {
    cv::putText(sheet, text, origin, kFont, scale, colour, thickness, cv::LINE_AA);
}

int textWidth(const std::string& text, double scale, int thickness = 1) {
    int baseline = 0;
    return cv::getTextSize(text, kFont, scale, thickness, &baseline).width;
}

std::string plural(long long n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

}  // namespace

cv::Size sheetPictureSize(cv::Size frameSize) {
    const double aspect =
        frameSize.width > 0 ? static_cast<double>(frameSize.height) / frameSize.width : 0.75;
    const int height = static_cast<int>(std::lround(kTileWidth * aspect));
    return cv::Size(kTileWidth, std::clamp(height, kMinPictureHeight, kMaxPictureHeight));
}

SheetLayout layoutSheet(int eventCount, cv::Size frameSize) {
    SheetLayout layout;
    const int width = 2 * kMargin + kColumns * kTileWidth + (kColumns - 1) * kGap;
    const int inner = width - 2 * kMargin;
    int y = kMargin;
    layout.header = cv::Rect(kMargin, y, inner, kHeaderHeight);
    y += kHeaderHeight;
    layout.timeline = cv::Rect(kMargin, y, inner, kTimelineHeight);
    y += kTimelineHeight;
    layout.axis = cv::Rect(kMargin, y, inner, kAxisHeight);
    y += kAxisHeight + kGap;

    const int shown = std::min(std::max(eventCount, 0), kMaxSheetTiles);
    layout.moreTile = eventCount > kMaxSheetTiles;
    const int tiles = shown + (layout.moreTile ? 1 : 0);
    const cv::Size picture = sheetPictureSize(frameSize);
    for (int i = 0; i < tiles; ++i) {
        const int x = kMargin + (i % kColumns) * (kTileWidth + kGap);
        const int top = y + (i / kColumns) * (picture.height + kLabelHeight + kGap);
        layout.pictures.emplace_back(x, top, picture.width, picture.height);
        layout.labels.emplace_back(x, top + picture.height, picture.width, kLabelHeight);
    }
    const int rows = (tiles + kColumns - 1) / kColumns;
    // Without events a line says so where the tiles would be.
    const int body = rows > 0 ? rows * (picture.height + kLabelHeight) + (rows - 1) * kGap : kLabelHeight;
    layout.canvas = cv::Size(width, y + body + kMargin);
    return layout;
}

std::vector<double> timelineTicks(double durationMs, int width, int minSpacing) {
    static const double kStepsSeconds[] = {1,   2,   5,    10,   15,   30,    60,    120,   300,
                                           600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400};
    std::vector<double> ticks;
    if (!(durationMs > 0) || width <= 0) return {0.0};
    const double maxTicks = std::max(1.0, std::floor(static_cast<double>(width) / std::max(1, minSpacing)));
    double step = 0;
    for (double s : kStepsSeconds) {
        if (durationMs / (s * 1000.0) <= maxTicks) {
            step = s * 1000.0;
            break;
        }
    }
    if (step == 0) step = std::ceil(durationMs / maxTicks / 86400000.0) * 86400000.0;  // whole days
    for (double t = 0; t <= durationMs + 1e-6; t += step) ticks.push_back(t);
    return ticks;
}

ContactSheet::ContactSheet(std::string t, cv::Size size) : title(std::move(t)), frameSize(size) {}

cv::Mat ContactSheet::makePicture(const cv::Mat& frame) const {
    cv::Mat picture;
    cv::resize(frame, picture, sheetPictureSize(frameSize), 0, 0, cv::INTER_AREA);
    return picture;
}

void ContactSheet::addEvent(int number, double startMs, double endMs, const cv::Mat& picture,
                            const std::vector<cv::Rect>& boxes) {
    spans.push_back(Span{number, startMs, endMs});
    if (tiles.size() < static_cast<std::size_t>(kMaxSheetTiles)) tiles.push_back(Tile{picture, boxes});
}

cv::Mat ContactSheet::render(double durationMs, long long frames) const {
    const SheetLayout layout = layoutSheet(events(), frameSize);
    cv::Mat sheet(layout.canvas, CV_8UC3, kBackground);
    const std::string heading = title + "   " + formatTimecode(durationMs) + "   " + plural(frames, "frame") +
                                "   " + plural(events(), "event");
    putText(sheet, heading, cv::Point(layout.header.x, layout.header.y + 24), 0.7, kText, 2);
    drawTimeline(sheet, layout, durationMs);
    for (std::size_t i = 0; i < tiles.size(); ++i) drawTile(sheet, layout, i);
    if (layout.moreTile) drawMoreTile(sheet, layout);
    if (spans.empty())
        putText(sheet, "no events", cv::Point(kMargin, layout.axis.br().y + kGap + 18), 0.6, kDimText);
    return sheet;
}

void ContactSheet::drawTimeline(cv::Mat& sheet, const SheetLayout& layout, double durationMs) const {
    const cv::Rect& bar = layout.timeline;
    cv::rectangle(sheet, bar, kBarBackground, cv::FILLED);
    const double scale = durationMs > 0 ? bar.width / durationMs : 0.0;
    auto xOf = [&](double ms) {
        return bar.x + static_cast<int>(std::lround(std::clamp(ms * scale, 0.0, 1.0 * bar.width)));
    };
    for (const Span& s : spans) {
        const int x0 = xOf(s.startMs);
        const int x1 = std::max(x0 + 2, xOf(s.endMs));  // even the shortest event stays visible
        cv::rectangle(sheet, cv::Rect(x0, bar.y + 4, std::min(x1, bar.br().x) - x0, bar.height - 8),
                      colourOf(s.number), cv::FILLED);
    }
    for (double t : timelineTicks(durationMs, bar.width)) {
        const int x = std::min(xOf(t), bar.br().x - 1);
        cv::line(sheet, cv::Point(x, bar.br().y), cv::Point(x, bar.br().y + 6), kText, 1);
        const std::string label = formatClockTime(t);
        const int w = textWidth(label, 0.45);
        const int left = std::clamp(x - w / 2, bar.x, bar.br().x - w);
        putText(sheet, label, cv::Point(left, layout.axis.y + 22), 0.45, kDimText);
    }
}

void ContactSheet::drawTile(cv::Mat& sheet, const SheetLayout& layout, std::size_t i) const {
    const cv::Rect& area = layout.pictures[i];
    const Span& span = spans[i];
    const Tile& tile = tiles[i];
    cv::Mat target = sheet(area);
    if (tile.picture.empty()) {
        target.setTo(kBarBackground);
    } else {
        cv::resize(tile.picture, target, area.size(), 0, 0, cv::INTER_AREA);
    }
    const double sx = frameSize.width > 0 ? static_cast<double>(area.width) / frameSize.width : 1.0;
    const double sy = frameSize.height > 0 ? static_cast<double>(area.height) / frameSize.height : 1.0;
    for (const cv::Rect& b : tile.boxes) {
        const cv::Rect grown(static_cast<int>(std::lround((b.x - kBoxMargin) * sx)),
                             static_cast<int>(std::lround((b.y - kBoxMargin) * sy)),
                             static_cast<int>(std::lround((b.width + 2 * kBoxMargin) * sx)),
                             static_cast<int>(std::lround((b.height + 2 * kBoxMargin) * sy)));
        cv::rectangle(target, grown, kBoxColour, 2, cv::LINE_8);
    }
    const cv::Rect& label = layout.labels[i];
    cv::rectangle(sheet, cv::Rect(label.x, label.y, 8, label.height), colourOf(span.number), cv::FILLED);
    const std::string text = "#" + std::to_string(span.number) + "  " + formatTimecode(span.startMs);
    putText(sheet, text, cv::Point(label.x + 14, label.y + 18), 0.55, kText);
}

void ContactSheet::drawMoreTile(cv::Mat& sheet, const SheetLayout& layout) const {
    const cv::Rect& area = layout.pictures.back();
    cv::rectangle(sheet, area, kBarBackground, cv::FILLED);
    const int more = events() - kMaxSheetTiles;
    const std::string text = "+ " + plural(more, "more event");
    const int w = textWidth(text, 0.8, 2);
    putText(sheet, text, cv::Point(area.x + (area.width - w) / 2, area.y + area.height / 2 + 8), 0.8, kText,
            2);
}

}  // namespace tarvolen
