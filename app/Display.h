// The display the windows are shown on: whether there is one, the Qt
// application on it, the screen area, and what happens when it goes away.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

namespace tarvolen {

// What is known about the displays before Qt starts.
struct DisplayProbe {
    std::string qtPlatform;      // QT_QPA_PLATFORM; empty when unset
    bool x11 = false;            // the X display named by DISPLAY accepts a connection
    bool wayland = false;        // the socket named by WAYLAND_DISPLAY accepts one
    bool waylandPlugin = false;  // Qt has its Wayland platform plugin
};

// The Qt platform to start on: empty for Qt's own choice, a name to ask for,
// or nothing when no display can show the windows. A platform the user set
// is kept when it can work (non-display ones such as "offscreen" always do).
std::optional<std::string> guiPlatformFor(const DisplayProbe& probe);

// Whether an X display (DISPLAY syntax) accepts a connection.
bool x11DisplayReachable(const char* display);
// Whether a Wayland compositor listens on `name`: a socket path, or a name in
// `runtimeDir` (XDG_RUNTIME_DIR).
bool waylandDisplayReachable(const char* name, const char* runtimeDir);

// Probes the displays and, when one can show the windows, makes sure the Qt
// application exists (HighGUI's windows and the file chooser run in it).
// Returns false, starting nothing, when there is no usable display.
bool startGui();

// The part of the primary screen that windows may cover (panels left out),
// in screen pixels.
cv::Rect availableScreenArea();

// While one lives, an exit that the GUI toolkit forces in the middle of the
// run (Qt calls exit(1) when the connection to the display breaks) first runs
// `finish` (finishing an open recording), then prints "Display connection
// lost" and ends the program with status 255 like every other path.
class DisplayLossGuard {
public:
    explicit DisplayLossGuard(std::function<void()> finish);
    ~DisplayLossGuard();

    DisplayLossGuard(const DisplayLossGuard&) = delete;
    DisplayLossGuard& operator=(const DisplayLossGuard&) = delete;
};

}  // namespace tarvolen
