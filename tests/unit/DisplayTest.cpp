#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QApplication>
#include <QtGlobal>
#include <opencv2/core/utils/logger.hpp>

#include "TestSupport.h"
#include "app/Display.h"
#include "app/LiveView.h"
#include "app/Logging.h"

namespace tarvolen {
namespace {

struct PlatformCase {
    const char* what;
    DisplayProbe probe;
    std::optional<std::string> platform;
};

void PrintTo(const PlatformCase& c, std::ostream* os) { *os << c.what; }

class GuiPlatform : public ::testing::TestWithParam<PlatformCase> {};

TEST_P(GuiPlatform, IsChosenFromWhatCanBeReached) {
    EXPECT_EQ(guiPlatformFor(GetParam().probe), GetParam().platform) << GetParam().what;
}

const std::optional<std::string> kNone;
const std::optional<std::string> kQtsChoice = std::string();

INSTANTIATE_TEST_SUITE_P(
    Probes, GuiPlatform,
    ::testing::Values(
        PlatformCase{"nothing reachable", DisplayProbe{"", false, false, true}, kNone},
        PlatformCase{"X", DisplayProbe{"", true, false, false}, kQtsChoice},
        PlatformCase{"X and Wayland", DisplayProbe{"", true, true, true}, kQtsChoice},
        PlatformCase{"Wayland alone is asked for", DisplayProbe{"", false, true, true},
                     std::string("wayland")},
        PlatformCase{"Wayland without Qt's plugin", DisplayProbe{"", false, true, false}, kNone},
        PlatformCase{"xcb asked for, no X", DisplayProbe{"xcb", false, true, true}, kNone},
        PlatformCase{"xcb asked for, X there", DisplayProbe{"xcb", true, false, false}, kQtsChoice},
        PlatformCase{"wayland asked for", DisplayProbe{"wayland", false, true, true}, kQtsChoice},
        PlatformCase{"wayland asked for, none", DisplayProbe{"wayland-egl", true, false, true}, kNone},
        PlatformCase{"a list falls back", DisplayProbe{"wayland;xcb", true, false, false}, kQtsChoice},
        PlatformCase{"a list of unusable ones", DisplayProbe{"wayland;xcb", false, false, false}, kNone},
        PlatformCase{"options after the name", DisplayProbe{"xcb:foo=1", false, false, false}, kNone},
        PlatformCase{"no display needed", DisplayProbe{"offscreen", false, false, false}, kQtsChoice},
        PlatformCase{"VNC", DisplayProbe{"vnc:size=800x600", false, false, false}, kQtsChoice}));

TEST(X11Display, UnsetOrUnconnectableIsNotReachable) {
    EXPECT_FALSE(x11DisplayReachable(nullptr));
    EXPECT_FALSE(x11DisplayReachable(""));
    EXPECT_FALSE(x11DisplayReachable(":64999"));
    EXPECT_FALSE(x11DisplayReachable("not a display"));
    EXPECT_FALSE(x11DisplayReachable("/tmp/no-such-socket-dir/X0"));
}

// A Unix socket that accepts connections, as a compositor's does.
class WaylandSocket : public ::testing::Test {
protected:
    void SetUp() override {
        fd = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listen(fd, 4), 0);
    }
    void TearDown() override {
        if (fd >= 0) close(fd);
    }
    const test::TempFolder temp{"tarvolen-wayland"};
    const std::string dir = temp.path().string();
    const std::string path = temp.file("wayland-7");
    int fd = -1;
};

TEST_F(WaylandSocket, ANameInTheRuntimeFolderOrAPathIsReached) {
    EXPECT_TRUE(waylandDisplayReachable("wayland-7", dir.c_str()));
    EXPECT_TRUE(waylandDisplayReachable(path.c_str(), nullptr));
}

TEST_F(WaylandSocket, OtherNamesAndMissingFoldersAreNot) {
    EXPECT_FALSE(waylandDisplayReachable("wayland-8", dir.c_str()));
    EXPECT_FALSE(waylandDisplayReachable("wayland-7", nullptr)) << "no XDG_RUNTIME_DIR";
    EXPECT_FALSE(waylandDisplayReachable("wayland-7", ""));
    EXPECT_FALSE(waylandDisplayReachable(nullptr, dir.c_str()));
    EXPECT_FALSE(waylandDisplayReachable("", dir.c_str()));
    EXPECT_FALSE(waylandDisplayReachable(std::string(200, 'w').c_str(), dir.c_str())) << "too long a path";
}

TEST_F(WaylandSocket, AClosedSocketIsNotReached) {
    close(fd);
    fd = -1;
    EXPECT_FALSE(waylandDisplayReachable(path.c_str(), nullptr));
}

// Qt ends the process with exit(1) when the display connection breaks.
class DisplayLoss : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(DisplayLoss, AForcedExitFinishesTheRunAndEndsWith255) {
    EXPECT_EXIT(
        {
            DisplayLossGuard guard([] { std::cerr << "recording finished" << std::endl; });
            std::exit(1);
        },
        ::testing::ExitedWithCode(255), "recording finished");
}

TEST_F(DisplayLoss, AfterTheRunAnExitIsLeftAlone) {
    EXPECT_EXIT(
        {
            {
                DisplayLossGuard guard([] { std::cerr << "recording finished" << std::endl; });
            }
            std::cerr << "after the run" << std::endl;
            std::exit(1);
        },
        ::testing::ExitedWithCode(1), "^after the run\n$");
}

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "";
    for (std::size_t begin = 0, end = 0; end != std::string::npos; begin = end + 1) {
        end = folders.find(':', begin);
        if (access((folders.substr(begin, end - begin) + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

// Far longer than Xvfb takes to start on an idle machine.
constexpr std::chrono::milliseconds kServerStart{10000};

// A private Xvfb for the process; killed at will, as a display server dies.
class PrivateXServer {
public:
    // Starts it and points DISPLAY at it; false when it cannot start.
    bool start() {
        int fds[2];
        if (pipe(fds) != 0) return false;
        pid = fork();
        if (pid == 0) {
            close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "640x480x24", "-nolisten", "tcp",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        const std::string number = readLine(fds[0]);
        close(fds[0]);
        if (number.empty()) return false;
        setenv("DISPLAY", (":" + number).c_str(), 1);
        return true;
    }
    void kill() {
        if (pid <= 0) return;
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    ~PrivateXServer() { kill(); }

private:
    static std::string readLine(int fd) {
        std::string line;
        char c = 0;
        pollfd ready{fd, POLLIN, 0};
        const int startMs = static_cast<int>(test::scaled(kServerStart).count());
        while (poll(&ready, 1, startMs) == 1 && read(fd, &c, 1) == 1 && c != '\n') line += c;
        return c == '\n' ? line : std::string();
    }
    pid_t pid = -1;
};

constexpr int kEndedByTheLoop = 3;
constexpr auto kBreakSeenWithin = std::chrono::seconds(10);

// The live view shown on a private X server, in a death test's child.
class ViewOnPrivateServer {
public:
    ViewOnPrivateServer() {
        if (!server.start()) std::_Exit(77);
        qputenv("QT_QPA_PLATFORM", "xcb");
        app = std::make_unique<QApplication>(argc, argv);
        view = std::make_unique<LiveView>(cv::Size(64, 48), [](int, int, int, int, void*) {});
        view->show(frame, mask, true);
        view->poll(20);
    }

    PrivateXServer server;
    std::unique_ptr<QApplication> app;
    std::unique_ptr<LiveView> view;
    const cv::Mat frame{48, 64, CV_8UC3, cv::Scalar(40, 40, 40)};
    const cv::Mat mask = cv::Mat::zeros(48, 64, CV_8UC1);

private:
    static inline int argc = 1;
    static inline char name[] = "tests";
    static inline char* argv[] = {name, nullptr};
};

// Shows the live view on a private X server, kills the server and polls
// once the break is there to be seen: ends the process with kEndedByTheLoop
// when the view hands the ending to the loop.
[[noreturn]] void pollPastADeadServer() {
    ViewOnPrivateServer shown;
    LiveView& view = *shown.view;
    if (view.quitRequested()) std::_Exit(4);  // not before the server goes
    shown.server.kill();
    // Qt's own thread finds the break; no event is handled meanwhile.
    const DisplayWatch watch;
    const auto deadline = std::chrono::steady_clock::now() + test::scaled(kBreakSeenWithin);
    while (!watch.broken() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    view.show(shown.frame, shown.mask, false);
    view.poll(20);
    if (view.displayLost() && view.quitRequested()) {
        std::cerr << "the loop ends the run" << std::endl;
        std::_Exit(kEndedByTheLoop);
    }
    std::_Exit(5);
}

// Set by an exit handler registered after the guard, which exit() would
// run before the guard's own: the moment static objects start to go.
std::atomic<bool> exitBegan{false};

// Arms the guard on a live view, kills the X server and lets Qt handle
// events until it meets the break.
[[noreturn]] void handleEventsPastADeadServer() {
    ViewOnPrivateServer shown;
    const DisplayLossGuard guard([] {
        std::cerr << (exitBegan ? "finished inside exit()" : "finished before exit()") << std::endl;
    });
    std::atexit([] { exitBegan = true; });
    shown.server.kill();
    const auto deadline = std::chrono::steady_clock::now() + test::scaled(kBreakSeenWithin);
    while (std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::_Exit(5);
}

// A display server that dies under the running view.
class DeadXServer : public DisplayLoss {
protected:
    void SetUp() override {
        DisplayLoss::SetUp();
#if defined(__SANITIZE_THREAD__)
        // A death test's child forking a display server: ThreadSanitizer's
        // runtime does not support new threads after a multi-threaded fork.
        GTEST_SKIP() << "not under ThreadSanitizer";
#endif
        TARVOLEN_REQUIRE(onPath("Xvfb"), "no Xvfb");
    }
};

// Qt calls exit(1) when its event handling meets a broken connection: the
// live view must see the break first and hand the ending to the loop.
TEST_F(DeadXServer, IsSeenBeforeQtHandlesAnotherEvent) {
    EXPECT_EXIT(pollPastADeadServer(), ::testing::ExitedWithCode(kEndedByTheLoop), "the loop ends the run");
}

// When Qt's own event handling meets the break first, the run is finished
// before exit() destroys what the recordings' threads still use.
TEST_F(DeadXServer, QtMeetingItFirstFinishesTheRunBeforeExitBegins) {
    EXPECT_EXIT(handleEventsPastADeadServer(), ::testing::ExitedWithCode(255), "finished before exit\\(\\)");
}

TEST(Logging, QtChatterIsDroppedAndErrorsKept) {
    quietenLibraries();
    ::testing::internal::CaptureStderr();
    qDebug("a debug line");
    qInfo("an info line");
    qWarning("QStandardPaths: XDG_RUNTIME_DIR not set");
    qCritical("a real error");
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed.find("debug line"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("info line"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("XDG_RUNTIME_DIR"), std::string::npos) << printed;
    EXPECT_NE(printed.find("a real error"), std::string::npos) << printed;
}

TEST(Logging, OpenCvLogsErrorsOnlyAndNothingWhileASourceIsProbed) {
    if (std::getenv("OPENCV_LOG_LEVEL") != nullptr) GTEST_SKIP() << "the user's log level is kept";
    using namespace cv::utils::logging;
    quietenLibraries();
    EXPECT_EQ(getLogLevel(), LOG_LEVEL_ERROR);
    {
        const QuietOpenCvLog quiet;
        EXPECT_EQ(getLogLevel(), LOG_LEVEL_SILENT);
    }
    EXPECT_EQ(getLogLevel(), LOG_LEVEL_ERROR) << "restored after the probe";
}

}  // namespace
}  // namespace tarvolen
