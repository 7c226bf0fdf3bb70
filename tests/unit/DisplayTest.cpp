#include <cstdlib>
#include <iostream>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QtGlobal>
#include <opencv2/core/utils/logger.hpp>

#include "app/Display.h"
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
        char pattern[] = "/tmp/tarvolen-wayland.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/wayland-7";
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
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
    std::string dir, path;
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
