#include "app/Display.h"

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QX11Info>

#include "platform/ExitStatus.h"

namespace tarvolen {
namespace {

bool isSet(const char* value) { return value != nullptr && *value != '\0'; }

// One entry of QT_QPA_PLATFORM ("name" or "name:option:..."): can it work?
bool platformUsable(const std::string& entry, const DisplayProbe& probe) {
    const std::string name = entry.substr(0, entry.find(':'));
    if (name == "xcb") return probe.x11;
    if (name.rfind("wayland", 0) == 0) return probe.wayland && probe.waylandPlugin;
    return true;
}

bool qtHasPlatformPlugin(const QString& prefix) {
    QStringList folders;
    for (const QString& path : QCoreApplication::libraryPaths()) folders << path + "/platforms";
    const QString pluginPath = qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH");
    if (!pluginPath.isEmpty()) folders << pluginPath;
    for (const QString& folder : folders)
        if (!QDir(folder).entryList({"libq" + prefix + "*"}, QDir::Files).isEmpty()) return true;
    return false;
}

// A connection to an X display. An X server whose last client leaves
// resets and refuses connections meanwhile (Xvfb does), so the probe's
// connection is held until Qt has made its own.
class X11Connection {
public:
    explicit X11Connection(const char* display)
        : connection(isSet(display) ? xcb_connect(display, nullptr) : nullptr) {}
    ~X11Connection() {
        if (connection != nullptr) xcb_disconnect(connection);
    }
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    bool open() const { return connection != nullptr && xcb_connection_has_error(connection) == 0; }

private:
    xcb_connection_t* connection;
};

DisplayProbe probeDisplays(const X11Connection& x11) {
    DisplayProbe probe;
    if (const char* platform = std::getenv("QT_QPA_PLATFORM")) probe.qtPlatform = platform;
    probe.x11 = x11.open();
    probe.wayland = waylandDisplayReachable(std::getenv("WAYLAND_DISPLAY"), std::getenv("XDG_RUNTIME_DIR"));
    probe.waylandPlugin = probe.wayland && qtHasPlatformPlugin("wayland");
    return probe;
}

// What an exit in the middle of the run must still do; empty when no guard
// lives. Constructed before the exit handler is registered, so still alive
// when it runs.
std::function<void()> armedEnd;
// The thread the run's loop is on: the one Qt handles its events on. Qt may
// report messages from any thread; only that one touches `armedEnd`.
std::atomic<std::thread::id> guardedThread;
QtMessageHandler handlerBeforeGuard = nullptr;

void endRunNow() {
    if (!armedEnd) return;
    const std::function<void()> endRun = std::move(armedEnd);
    armedEnd = nullptr;
    endRun();
    std::_Exit(kExitStatus);
}

// The exit handler: by now exit() has destroyed every static object made
// after the guard was first armed (codec tables, buffers) while the writer
// threads still run, so it is only the last resort.
void endRunOnForcedExit() { endRunNow(); }

// Qt says why just before it exits on a broken connection. Ending the run
// there, on the loop's thread, finishes the recordings while everything
// they use still lives.
void endRunBeforeQtExits(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (std::this_thread::get_id() == guardedThread.load() && armedEnd && DisplayWatch().broken()) endRunNow();
    if (handlerBeforeGuard != nullptr) handlerBeforeGuard(type, context, message);
}

}  // namespace

std::optional<std::string> guiPlatformFor(const DisplayProbe& probe) {
    if (!probe.qtPlatform.empty()) {
        std::size_t begin = 0;
        for (;;) {  // Qt tries a list separated by ';' in order
            const std::size_t end = probe.qtPlatform.find(';', begin);
            if (platformUsable(probe.qtPlatform.substr(begin, end - begin), probe)) return std::string();
            if (end == std::string::npos) return std::nullopt;
            begin = end + 1;
        }
    }
    if (probe.x11) return std::string();
    // Without X, Qt 5 would still try X first: ask for Wayland by name.
    if (probe.wayland && probe.waylandPlugin) return std::string("wayland");
    return std::nullopt;
}

bool x11DisplayReachable(const char* display) { return X11Connection(display).open(); }

bool waylandDisplayReachable(const char* name, const char* runtimeDir) {
    if (!isSet(name)) return false;
    std::string path = name;
    if (path.front() != '/') {
        if (!isSet(runtimeDir)) return false;
        path = std::string(runtimeDir) + "/" + path;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool reachable = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return reachable;
}

bool startGui() {
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr) return true;
    const X11Connection x11(std::getenv("DISPLAY"));
    const std::optional<std::string> platform = guiPlatformFor(probeDisplays(x11));
    if (!platform) return false;
    if (!platform->empty()) qputenv("QT_QPA_PLATFORM", QByteArray::fromStdString(*platform));
    // Lives for the rest of the run; HighGUI reuses an existing application.
    static int argc = 1;
    static char programName[] = "tarvolen";
    static char* argv[] = {programName, nullptr};
    new QApplication(argc, argv);
    return true;
}

cv::Rect availableScreenArea() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return cv::Rect(0, 0, INT_MAX / 2, INT_MAX / 2);
    const QRect area = screen->availableGeometry();
    return cv::Rect(area.x(), area.y(), area.width(), area.height());
}

DisplayWatch::DisplayWatch()
    : connection(QX11Info::isPlatformX11() ? QX11Info::connection() : nullptr) {}

bool DisplayWatch::broken() const { return connection != nullptr && xcb_connection_has_error(connection) != 0; }

DisplayLossGuard::DisplayLossGuard(std::function<void()> endRun) {
    static const bool registered = std::atexit(endRunOnForcedExit) == 0;
    (void)registered;
    armedEnd = endRun ? std::move(endRun) : [] {};
    guardedThread = std::this_thread::get_id();
    handlerBeforeGuard = qInstallMessageHandler(endRunBeforeQtExits);
}

DisplayLossGuard::~DisplayLossGuard() {
    qInstallMessageHandler(handlerBeforeGuard);
    armedEnd = nullptr;
}

}  // namespace tarvolen
