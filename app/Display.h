// The display the windows are shown on: whether there is one, the Qt
// application on it, the screen area, and what happens when it goes away.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

struct xcb_connection_t;

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

// Qt's connection to an X display, watched for a break (the X server gone,
// the connection killed). Qt ends the process with exit(1) as soon as its
// event handling meets a broken connection, in the middle of whatever the
// program is doing; asked before each round of event handling, this lets the
// loop end the run on its own way out instead.
class DisplayWatch {
public:
    // The running Qt application's connection; none (never broken) on
    // platforms other than X.
    DisplayWatch();

    bool broken() const;

private:
    xcb_connection_t* connection;
};

// For a break that Qt meets before the loop does: while one lives, the exit
// that the GUI toolkit forces in the middle of the run is forestalled. When
// Qt reports the broken connection on the loop's thread (it does so just
// before it exits), or failing that when exit() runs, `endRun` (the run's
// own ending for a lost display) is run and the program ends at once with
// status 255 like every other path.
class DisplayLossGuard {
public:
    explicit DisplayLossGuard(std::function<void()> endRun);
    ~DisplayLossGuard();

    DisplayLossGuard(const DisplayLossGuard&) = delete;
    DisplayLossGuard& operator=(const DisplayLossGuard&) = delete;
};

}  // namespace tarvolen
