#include "app/LiveView.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <thread>

#include <QCoreApplication>
#include <QGuiApplication>
#include <opencv2/imgproc.hpp>

#include "app/Display.h"

namespace tarvolen {
namespace {

constexpr int kWindowMargin = 5;  // px from the screen's top-left corner
constexpr int kWindowGap = 10;    // px from the shown width to the mask window
// Moves of the windows to their places, after the last layout, that a
// window manager may not follow before the windows count as placed.
constexpr int kMostPlacings = 50;
// Between two rounds of event handling in a poll.
constexpr auto kEventSlice = std::chrono::milliseconds(1);

// Windows exactly the size of their image: the Qt back end's default toolbar
// and status bar would widen "INPUT VIDEO" over "EVENT MASK" beside it.
constexpr int kWindowFlags = cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL;
const char* const kInputWindow = "INPUT VIDEO";
const char* const kMaskWindow = "EVENT MASK";

QWindow* findWindow(const char* title) {
    for (QWindow* window : QGuiApplication::topLevelWindows())
        if (window->title() == QLatin1String(title)) return window;
    return nullptr;
}

// Each side the larger of the two.
WindowFrame enclosing(WindowFrame a, WindowFrame b) {
    return WindowFrame{std::max(a.left, b.left), std::max(a.top, b.top), std::max(a.right, b.right),
                       std::max(a.bottom, b.bottom)};
}

// Puts the frame of the window titled `title` at `at`. A widget's own idea
// of its frame can lag behind the window manager's, so a framed window is
// placed by its inside, from the frame Qt reports for it.
void placeWindow(const QPointer<QWindow>& window, const char* title, WindowFrame frame, cv::Point at) {
    if (window.isNull()) {
        cv::moveWindow(title, at.x, at.y);
        return;
    }
    window->setPosition(at.x + frame.left, at.y + frame.top);
}

// Whether the frame around the window titled `title` differs from `known`,
// which then takes the new one. A window not made yet has none.
bool frameChanged(QPointer<QWindow>& window, const char* title, WindowFrame& known) {
    if (window.isNull()) window = findWindow(title);
    if (window.isNull()) return false;
    const QMargins margins = window->frameMargins();
    const WindowFrame now{margins.left(), margins.top(), margins.right(), margins.bottom()};
    if (now == known) return false;
    known = now;
    return true;
}

// Proportional, with the first and the last pixel of both ranges matched.
int shownToFrameAxis(int position, int shownLength, int frameLength) {
    if (shownLength == frameLength) return position;
    if (shownLength <= 1) return position * frameLength;
    const double mapped = static_cast<double>(position) * (frameLength - 1) / (shownLength - 1);
    return static_cast<int>(std::lround(std::clamp(mapped, double{INT_MIN}, double{INT_MAX})));
}

// The largest whole factor, 2 or more, that divides both sides of `frame`
// and leaves it at least `shown`; 1 when there is none.
int wholeShrinkFactor(cv::Size frame, cv::Size shown) {
    if (shown.width < 1 || shown.height < 1) return 1;
    const int most = std::min(frame.width / shown.width, frame.height / shown.height);
    for (int factor = most; factor >= 2; --factor) {
        if (frame.width % factor == 0 && frame.height % factor == 0) return factor;
    }
    return 1;
}

// Below this the rest of a shrink is done by interpolation: every staged
// pixel still lies within one pixel of a sample, so none is lost.
constexpr double kInterpolatedShrinkLimit = 2.0;

}  // namespace

void shrinkForView(const cv::Mat& image, cv::Size shown, cv::Mat& staged, cv::Mat& shownImage) {
    const int factor = wholeShrinkFactor(image.size(), shown);
    if (factor == 1) {
        cv::resize(image, shownImage, shown, 0, 0, cv::INTER_AREA);
        return;
    }
    cv::resize(image, staged, cv::Size(image.cols / factor, image.rows / factor), 0, 0, cv::INTER_AREA);
    const double rest = std::max(static_cast<double>(staged.cols) / shown.width,
                                 static_cast<double>(staged.rows) / shown.height);
    const int method = rest < kInterpolatedShrinkLimit ? cv::INTER_LINEAR : cv::INTER_AREA;
    cv::resize(staged, shownImage, shown, 0, 0, method);
}

ViewLayout layoutWindows(cv::Size frame, cv::Rect available, WindowFrame frames) {
    // The windows' frames cover x from 5 to 2 * width + 10 + left + right (the
    // mask's frame ends there) and y from 5 to height + 5 + top + bottom.
    const int widthRoom = (available.x + available.width - kWindowGap - frames.left - frames.right) / 2;
    const int heightRoom = available.y + available.height - kWindowMargin - frames.top - frames.bottom;
    ViewLayout layout{frame, frame, cv::Point(kWindowMargin, kWindowMargin), cv::Point()};
    if (frame.width > widthRoom || frame.height > heightRoom) {
        const double scale = std::min(static_cast<double>(widthRoom) / frame.width,
                                      static_cast<double>(heightRoom) / frame.height);
        const auto scaledLength = [scale](int length, int room) {
            return std::clamp(static_cast<int>(std::floor(length * scale + 1e-9)), 1, std::max(1, room));
        };
        layout.shown = cv::Size(scaledLength(frame.width, widthRoom), scaledLength(frame.height, heightRoom));
    }
    layout.maskAt = cv::Point(layout.shown.width + kWindowGap, kWindowMargin);
    return layout;
}

cv::Point shownToFrame(cv::Point shown, const ViewLayout& layout) {
    return cv::Point(shownToFrameAxis(shown.x, layout.shown.width, layout.frame.width),
                     shownToFrameAxis(shown.y, layout.shown.height, layout.frame.height));
}

LiveView::LiveView(cv::Size frame, cv::MouseCallback callback)
    : screen(availableScreenArea()),
      windows(layoutWindows(frame, screen)),
      roiCallback(callback),
      input({kInputWindow, kMaskWindow}) {
    cv::namedWindow(kInputWindow, kWindowFlags);
    cv::setMouseCallback(kInputWindow, &LiveView::onMouse, this);
    cv::namedWindow(kMaskWindow, kWindowFlags);
    placeWindows();
}

void LiveView::setFrameSize(cv::Size frame) {
    windows = layoutWindows(frame, screen, enclosing(inputFrame, maskFrame));
    maskShown = false;
    placeWindows();
}

// The frames are known only once the window manager has put them around the
// shown windows, each in its own time, and may change while they are up. A
// window is placed by its frame only once that frame is known.
void LiveView::fitFrames() {
    if (display.broken()) return;  // the loop ends the run at its next poll
    const bool inputChanged = frameChanged(inputWindow, kInputWindow, inputFrame);
    const bool maskChanged = frameChanged(maskWindow, kMaskWindow, maskFrame);
    if (inputChanged || maskChanged) {
        const ViewLayout refit = layoutWindows(windows.frame, screen, enclosing(inputFrame, maskFrame));
        if (refit.shown != windows.shown) maskShown = false;  // the mask at the new size, too
        windows = refit;
        placeWindows();
    } else if (placingLeft > 0) {
        placeAgainIfAside();
    }
}

// A move asked for while the window manager was still framing a window can
// land with the frame elsewhere; it is asked again until both are in place,
// a few times at most. Once they are, the operator may move them.
void LiveView::placeAgainIfAside() {
    const auto framedAt = [](const QPointer<QWindow>& window, cv::Point at) {
        return window.isNull() || window->framePosition() == QPoint(at.x, at.y);
    };
    if (framedAt(inputWindow, windows.inputAt) && framedAt(maskWindow, windows.maskAt)) {
        placingLeft = 0;
        return;
    }
    --placingLeft;
    placeWindow(inputWindow, kInputWindow, inputFrame, windows.inputAt);
    placeWindow(maskWindow, kMaskWindow, maskFrame, windows.maskAt);
}

void LiveView::placeWindows() {
    placingLeft = kMostPlacings;
    placeWindow(inputWindow, kInputWindow, inputFrame, windows.inputAt);
    placeWindow(maskWindow, kMaskWindow, maskFrame, windows.maskAt);
}

void LiveView::show(const cv::Mat& colour, const cv::Mat& mask, bool maskChanged) {
    fitFrames();
    if (!windows.scaled()) {
        cv::imshow(kInputWindow, colour);
    } else {
        shrinkForView(colour, windows.shown, staged, shownColour);
        cv::imshow(kInputWindow, shownColour);
    }
    if (maskShown && !maskChanged) return;
    if (!windows.scaled()) {
        cv::imshow(kMaskWindow, mask);
    } else {
        shrinkForView(mask, windows.shown, staged, shownMask);
        cv::imshow(kMaskWindow, shownMask);
    }
    maskShown = true;
}

// Qt ends the process (exit(1)) when its event handling meets a broken
// display connection; looked at before each round, the break is seen here
// first and the loop ends the run its own way.
void LiveView::poll(int milliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (display.broken()) {
            displayGone = true;
            return;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (std::chrono::steady_clock::now() >= deadline) return;
        std::this_thread::sleep_for(kEventSlice);
    }
}

void LiveView::onMouse(int event, int x, int y, int flags, void* view) {
    const LiveView& self = *static_cast<const LiveView*>(view);
    const cv::Point frame = shownToFrame(cv::Point(x, y), self.windows);
    self.roiCallback(event, frame.x, frame.y, flags, nullptr);
}

}  // namespace tarvolen
