// The two live windows, "INPUT VIDEO" and "EVENT MASK": where they stand, the
// size they show the frames at, and the operator's input through them.
#pragma once

#include <vector>

#include <QPointer>
#include <QWindow>
#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>

#include "app/Display.h"
#include "app/KeyInput.h"

namespace tarvolen {

// What a window manager adds around a window (title bar, borders), in pixels.
struct WindowFrame {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    bool operator==(const WindowFrame& other) const {
        return left == other.left && top == other.top && right == other.right && bottom == other.bottom;
    }
    bool operator!=(const WindowFrame& other) const { return !(*this == other); }
};

// The windows side by side, each position that of its frame's top-left
// corner: "INPUT VIDEO" at (5, 5) and "EVENT MASK" 10 px right of the shown
// width. Frames are shown at their own size when both windows, their frames
// included, fit the screen's available area, else both are scaled down by
// one factor so that they do.
struct ViewLayout {
    cv::Size frame;  // full resolution, as the detector, overlays and recordings have it
    cv::Size shown;  // as the windows show it
    cv::Point inputAt;
    cv::Point maskAt;

    bool scaled() const { return shown != frame; }
};

ViewLayout layoutWindows(cv::Size frame, cv::Rect available, WindowFrame frames = {});

// The frame pixel for a position in the shown image. The corner pixels map to
// the frame's corner pixels and positions in between proportionally, so a
// drag selects the region it covers on screen; at full size this is the
// position itself. Positions beyond the image map beyond the frame, for the
// selection's own clamping.
cv::Point shownToFrame(cv::Point shown, const ViewLayout& layout);

// `image` shrunk to `shown` for a window, averaging each shown pixel's area so
// that small event spots stay visible. Where the frame is 2x or more the
// shown size and a whole factor divides both its sides, the frame is first
// box-shrunk by that factor (OpenCV's fast path) into `staged` and that
// smaller image is shrunk the rest of the way: a 4K frame shown at 955 x 537
// then costs a third of one area shrink and looks the same.
void shrinkForView(const cv::Mat& image, cv::Size shown, cv::Mat& staged, cv::Mat& shownImage);

class LiveView {
public:
    // Creates the windows; `roiCallback` gets the mouse events of
    // "INPUT VIDEO" in frame pixels.
    LiveView(cv::Size frame, cv::MouseCallback roiCallback);

    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    const ViewLayout& layout() const { return windows; }
    // Lays the windows out again for frames of another size.
    void setFrameSize(cv::Size frame);

    // Shows the annotated frame and the event mask. An unchanged mask that is
    // already on screen is not shown again. Once the window manager has
    // framed the windows, the layout is made again to leave room for the
    // frames.
    void show(const cv::Mat& colour, const cv::Mat& mask, bool maskChanged);
    // Lets HighGUI run for `milliseconds` (window updates, mouse callbacks,
    // key and close events); returns at once when the display connection has
    // broken.
    void poll(int milliseconds);
    // The commands typed, and Quit for each window closed, since the last
    // call, oldest first.
    std::vector<KeyCommand> takeCommands() { return input.take(); }
    // Whether the run should end: a Quit waits, or the display is gone.
    bool quitRequested() const { return input.quitPending() || displayGone; }
    bool displayLost() const { return displayGone; }

private:
    static void onMouse(int event, int x, int y, int flags, void* view);
    void fitFrames();
    void placeWindows();
    void placeAgainIfAside();

    cv::Rect screen;
    WindowFrame inputFrame;
    WindowFrame maskFrame;
    ViewLayout windows;
    QPointer<QWindow> inputWindow;
    QPointer<QWindow> maskWindow;
    int placingLeft = 0;
    DisplayWatch display;
    bool displayGone = false;
    cv::MouseCallback roiCallback;
    KeyInput input;
    cv::Mat staged;
    cv::Mat shownColour;
    cv::Mat shownMask;
    bool maskShown = false;
};

}  // namespace tarvolen
