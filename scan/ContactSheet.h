// The contact sheet: a picture of a whole scan a person takes in at a
// glance. Across the top the file's activity timeline (time axis with
// labelled ticks, each event a coloured span); below it one tile per event
// with the event's busiest frame, its boxes, its number and start time. Past
// kMaxSheetTiles events a last tile says how many more there are.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace tarvolen {

constexpr int kMaxSheetTiles = 48;

struct SheetLayout {
    cv::Size canvas;
    cv::Rect header;                 // the title line
    cv::Rect timeline;               // the activity bar
    cv::Rect axis;                   // tick labels under the bar
    std::vector<cv::Rect> pictures;  // one per tile shown, row by row
    std::vector<cv::Rect> labels;    // the strip under each picture
    bool moreTile = false;           // the last tile is the "more events" tile
};

// Where everything goes for `eventCount` events of frames of `frameSize`.
SheetLayout layoutSheet(int eventCount, cv::Size frameSize);

// The size a tile's picture is made at.
cv::Size sheetPictureSize(cv::Size frameSize);

// Tick times in milliseconds from 0: a round step (1, 2, 5, 10, 15, 30 s,
// 1, 2, 5, 10, 15, 30 min, 1, 2, 3, 6, 12, 24 h) leaving labels at least
// minSpacing pixels apart on an axis `width` pixels long.
std::vector<double> timelineTicks(double durationMs, int width, int minSpacing = 100);

class ContactSheet {
public:
    ContactSheet(std::string title, cv::Size frameSize);

    // Scales a frame down to a tile's picture.
    cv::Mat makePicture(const cv::Mat& frame) const;

    // Adds the next event; the picture (from makePicture()) and the boxes (in
    // frame pixels) are kept for the first kMaxSheetTiles events only.
    void addEvent(int number, double startMs, double endMs, const cv::Mat& picture,
                  const std::vector<cv::Rect>& boxes);

    // Draws the sheet of a file lasting durationMs with the events so far.
    cv::Mat render(double durationMs, long long frames) const;

    int events() const { return static_cast<int>(spans.size()); }

private:
    struct Span {
        int number;
        double startMs;
        double endMs;
    };
    struct Tile {
        cv::Mat picture;
        std::vector<cv::Rect> boxes;
    };

    void drawTimeline(cv::Mat& sheet, const SheetLayout& layout, double durationMs) const;
    void drawTile(cv::Mat& sheet, const SheetLayout& layout, std::size_t i) const;
    void drawMoreTile(cv::Mat& sheet, const SheetLayout& layout) const;

    std::string title;
    cv::Size frameSize;
    std::vector<Span> spans;
    std::vector<Tile> tiles;
};

}  // namespace tarvolen
