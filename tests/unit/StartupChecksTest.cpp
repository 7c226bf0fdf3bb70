#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>
#include <system_error>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "TestSupport.h"
#include "app/PassLog.h"
#include "app/ProgramMemory.h"
#include "platform/ProgramGuard.h"
#include "platform/Signals.h"
#include "platform/SourcePath.h"
#include "platform/MemoryLimits.h"
#include "detector/Detector.h"

namespace tarvolen {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kGiB = 1024ull * 1024 * 1024;

TEST(KilobyteField, ReadsProcFileLines) {
    const std::string meminfo =
        "MemTotal:       24683772 kB\nMemFree:        23461068 kB\nMemAvailable:   24165696 kB\n";
    EXPECT_EQ(kilobyteField(meminfo, "MemAvailable"), 24165696ull * 1024);
    EXPECT_EQ(kilobyteField(meminfo, "MemTotal"), 24683772ull * 1024);
    EXPECT_FALSE(kilobyteField(meminfo, "Mem").has_value());
    EXPECT_FALSE(kilobyteField(meminfo, "SwapFree").has_value());
    EXPECT_FALSE(kilobyteField("VmSize: lots\n", "VmSize").has_value());
    EXPECT_EQ(kilobyteField("Name:\ttarvolen\nVmSize:\t  3896 kB\n", "VmSize"), 3896ull * 1024);
}

TEST(CgroupFolders, EveryLevelOfTheMemoryHierarchyUpToTheRoot) {
    const std::vector<CgroupFolder> v2 =
        cgroupMemoryFolders("0::/user.slice/app.scope\n", "/cg", "/cg/memory");
    ASSERT_EQ(v2.size(), 3u);
    EXPECT_EQ(v2[0].path, "/cg/user.slice/app.scope");
    EXPECT_EQ(v2[1].path, "/cg/user.slice");
    EXPECT_EQ(v2[2].path, "/cg");
    EXPECT_TRUE(v2[0].version2);

    const std::vector<CgroupFolder> v1 = cgroupMemoryFolders(
        "9:name=systemd:/\n5:cpu,cpuacct:/x\n4:memory:/process_api/abc\n", "/cg", "/cg/memory");
    ASSERT_EQ(v1.size(), 3u);
    EXPECT_EQ(v1[0].path, "/cg/memory/process_api/abc");
    EXPECT_EQ(v1[2].path, "/cg/memory");
    EXPECT_FALSE(v1[0].version2);

    EXPECT_EQ(cgroupMemoryFolders("3:cpu,memory:/a/\n", "/cg", "/m").front().path, "/m/a");
    EXPECT_EQ(cgroupMemoryFolders("0::/\n", "/cg", "/m").size(), 1u);
    EXPECT_TRUE(cgroupMemoryFolders("garbage\n\n7:pids:/p\n", "/cg", "/m").empty());
}

TEST(MemoryLimitsTest, TheTightestKnownBoundCounts) {
    MemoryLimits limits;
    EXPECT_FALSE(limits.tightest().has_value());
    limits.available = 8 * kGiB;
    EXPECT_EQ(limits.tightest(), 8 * kGiB);
    limits.controlGroup = 2 * kGiB;
    limits.addressSpace = 3 * kGiB;
    EXPECT_EQ(limits.tightest(), 2 * kGiB);
    limits.dataSegment = 0;
    EXPECT_EQ(limits.tightest(), 0u);
}

TEST(MemoryLimitsTest, TheSystemsAvailableMemoryIsKnown) {
    const MemoryLimits limits = currentMemoryLimits();
    ASSERT_TRUE(limits.available.has_value());
    EXPECT_GT(*limits.available, 0u);
}

TEST(MemoryLimitsTest, AnAddressSpaceLimitIsSeen) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "AddressSanitizer cannot work under an address-space limit";
#endif
    // In a child, so that the limit stays there.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            rlimit limit{};
            limit.rlim_cur = limit.rlim_max = 2 * kGiB;
            setrlimit(RLIMIT_AS, &limit);
            const MemoryLimits limits = currentMemoryLimits();
            std::_Exit(limits.addressSpace && *limits.addressSpace < 2 * kGiB ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(FrameSizeRefusal, NamesTheSizeTheNeedAndTheRoom) {
    MemoryLimits limits;
    limits.available = 20 * kGiB;
    EXPECT_FALSE(frameSizeRefusal(1920, 1080, 150, limits).has_value());
    EXPECT_EQ(frameSizeRefusal(16000, 16000, 100, limits),
              std::optional<std::string>(
                  "Frame size 16000x16000 too large: needs about 23.8 GB of memory, 20.0 GB available"));
    // Exactly the room fits.
    limits.available = 100ull * 100 * 7;
    EXPECT_FALSE(frameSizeRefusal(100, 100, 7, limits).has_value());
    EXPECT_TRUE(frameSizeRefusal(100, 101, 7, limits).has_value());
    // Byte counts beyond 64 bits are refused, not wrapped.
    limits.available = 1000 * kGiB;
    EXPECT_TRUE(frameSizeRefusal(INT_MAX, INT_MAX, SIZE_MAX / 2, limits).has_value());
    // Nothing known: nothing to refuse on.
    EXPECT_FALSE(frameSizeRefusal(16000, 16000, 100, MemoryLimits{}).has_value());
}

TEST(ProgramBytesPerPixel, CoverTheDetectorAndTheLoop) {
    EXPECT_GT(programBytesPerPixel(), Detector::bufferBytesPerPixel() + 3);
    // What the program was measured to take, without recording.
    EXPECT_GE(programBytesPerPixel(), 110u);
}

TEST(ReserveFrameBuffers, SizesTheMachineCannotHoldAreRefusedBeforeAllocating) {
    bool allocated = false;
    const std::optional<std::string> refusal =
        reserveFrameBuffers(1000000, 1000000, programBytesPerPixel(), [&] { allocated = true; });
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(refusal->rfind("Frame size 1000000x1000000 too large: needs about ", 0), 0u) << *refusal;
    EXPECT_FALSE(allocated);
}

TEST(ReserveFrameBuffers, FailedAllocationsRefuseTheSize) {
    const std::string cannot = "Frame size 64x48 too large: its buffers cannot be allocated";
    EXPECT_EQ(reserveFrameBuffers(64, 48, programBytesPerPixel(), [] { throw std::bad_alloc(); }),
              std::optional<std::string>(cannot));
    EXPECT_EQ(reserveFrameBuffers(64, 48, programBytesPerPixel(), [] { CV_Error(cv::Error::StsNoMem, "no memory"); }),
              std::optional<std::string>(cannot));
    // Other errors are not taken for a lack of memory.
    EXPECT_THROW(reserveFrameBuffers(64, 48, programBytesPerPixel(), [] { CV_Error(cv::Error::StsBadArg, "bad"); }), cv::Exception);
    bool allocated = false;
    EXPECT_FALSE(reserveFrameBuffers(64, 48, programBytesPerPixel(), [&] { allocated = true; }).has_value());
    EXPECT_TRUE(allocated);
}

TEST(ReserveFrameBuffers, TheDetectorSizesItsBuffersInside) {
    Detector detector;
    ASSERT_FALSE(reserveFrameBuffers(64, 48, programBytesPerPixel(), [&] { detector.prepare(64, 48); }).has_value());
    EXPECT_EQ(detector.frameWidth(), 64);
    // Far beyond any memory, but let through to the allocation: refused there.
    EXPECT_TRUE(reserveFrameBuffers(64, 48, programBytesPerPixel(), [&] { detector.prepare(4000000, 4000000); }).has_value());
}

TEST(RunReportingEscapes, EveryEscapingExceptionEndsWithOneLineAndTheFailureStatus) {
    std::ostringstream out;
    EXPECT_EQ(runReportingEscapes([] { return 7; }, out, -1), 7);
    EXPECT_EQ(out.str(), "");
    const std::pair<std::function<int()>, std::string> cases[] = {
        {[]() -> int { throw std::bad_alloc(); }, "Out of memory\n"},
        {[]() -> int { CV_Error(cv::Error::StsNoMem, "x"); }, "Out of memory\n"},
        {[]() -> int { CV_Error(cv::Error::StsBadArg, "broken input"); }, "OpenCV error: broken input\n"},
        {[]() -> int { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                               "thread"); },
         "thread: " + std::make_error_code(std::errc::resource_unavailable_try_again).message() + "\n"},
        {[]() -> int { throw 42; }, "unknown error\n"},
    };
    for (const auto& [body, line] : cases) {
        out.str("");
        EXPECT_EQ(runReportingEscapes(body, out, -1), -1);
        EXPECT_EQ(out.str(), line);
    }
    out.str("");
    EXPECT_EQ(runReportingEscapes([]() -> int { throw std::bad_alloc(); }, out, 1, "tarvolen-scan: "), 1);
    EXPECT_EQ(out.str(), "tarvolen-scan: Out of memory\n");
}

class SourcePaths : public test::TempFolderTest {
protected:
    std::string at(const char* name) const { return file(name); }
};

TEST_F(SourcePaths, RegularFilesAndUnknownNamesAreOpened) {
    std::ofstream(at("clip.avi")) << "x";
    EXPECT_TRUE(mayOpenSourcePath(at("clip.avi")));
    fs::create_symlink(at("clip.avi"), at("link.avi"));
    EXPECT_TRUE(mayOpenSourcePath(at("link.avi")));
    // Not in the file system: a URL or an image pattern is for the reader.
    EXPECT_TRUE(mayOpenSourcePath(at("missing.avi")));
    EXPECT_TRUE(mayOpenSourcePath("rtsp://camera.local/stream"));
}

TEST_F(SourcePaths, FifosSocketsDirectoriesAndOtherDevicesAreRefused) {
    ASSERT_EQ(mkfifo(at("pipe.avi").c_str(), 0600), 0);
    EXPECT_FALSE(mayOpenSourcePath(at("pipe.avi")));
    fs::create_symlink(at("pipe.avi"), at("to-pipe.avi"));
    EXPECT_FALSE(mayOpenSourcePath(at("to-pipe.avi")));
    EXPECT_FALSE(mayOpenSourcePath(dir.string()));
    EXPECT_FALSE(mayOpenSourcePath("/dev/null"));

    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = at("socket.avi");
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_FALSE(mayOpenSourcePath(socketPath));
    close(fd);
}

TEST(PassLogTest, OffUnlessAskedForThenOneLinePerPass) {
    unsetenv(PassLog::kVariable);
    EXPECT_FALSE(PassLog().enabled());
    const test::TempFolder temp;
    const fs::path file = temp.path() / "passes.txt";
    setenv(PassLog::kVariable, file.c_str(), 1);
    {
        PassLog log;
        ASSERT_TRUE(log.enabled());
        const auto start = std::chrono::steady_clock::now();
        log.mark(start);
        log.mark(start + std::chrono::milliseconds(40));
    }
    unsetenv(PassLog::kVariable);
    std::ifstream in(file);
    long long first = 0, second = 0, extra = 0;
    ASSERT_TRUE(in >> first >> second);
    EXPECT_EQ(second - first, 40000);
    EXPECT_FALSE(in >> extra);
}

// Each case in a child process: the handlers and the request are process-wide.
class QuitSignals : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_P(QuitSignals, AreRecordedAsARequestToQuit) {
    const int signalNumber = GetParam();
    EXPECT_EXIT(
        {
            installQuitSignals();
            const bool before = quitRequested();
            raise(signalNumber);
            std::_Exit(!before && quitRequested() && quitSignal() == signalNumber ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_P(QuitSignals, ASecondOneEndsTheProgramAtOnce) {
    const int signalNumber = GetParam();
    EXPECT_EXIT(
        {
            installQuitSignals();
            raise(SIGTERM);
            raise(signalNumber);
            std::_Exit(1);
        },
        ::testing::ExitedWithCode(255), "");
}

INSTANTIATE_TEST_SUITE_P(IntTermHup, QuitSignals, ::testing::Values(SIGINT, SIGTERM, SIGHUP));

// In a child process too: the disposition is process-wide.
TEST(BrokenPipes, AWriteToAReaderThatHasGoneFailsAndTheProgramLives) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ignoreBrokenPipes();
            int ends[2];
            if (pipe(ends) != 0) std::_Exit(2);
            close(ends[0]);
            const bool failed = write(ends[1], "x", 1) < 0 && errno == EPIPE;
            std::_Exit(failed ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tarvolen
