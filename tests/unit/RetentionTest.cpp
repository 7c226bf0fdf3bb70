#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "events/Retention.h"

namespace tarvolen {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using std::chrono::system_clock;

constexpr std::uint64_t kKB = 1024;
constexpr auto kDay = std::chrono::hours(24);

class NameTest : public ::testing::TestWithParam<std::pair<std::string, bool>> {};

TEST_P(NameTest, OnlyEventClipsSnapshotsAndBoxFilesMatch) {
    EXPECT_EQ(isEventFileName(GetParam().first), GetParam().second) << GetParam().first;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NameTest,
    ::testing::Values(std::make_pair(std::string("event_05_03_2024_09_07_03.avi"), true),
                      std::make_pair(std::string("event_05_03_2024_09_07_03.mp4"), true),
                      std::make_pair(std::string("event_05_03_2024_09_07_03.jpg"), true),
                      std::make_pair(std::string("event_05_03_2024_09_07_03_2.avi"), true),
                      std::make_pair(std::string("event_05_03_2024_09_07_03_17.jpg"), true),
                      std::make_pair(std::string("event_05_03_2024_09_07_03.mkv"), true),
                      std::make_pair(std::string("event_05_03_2024_09_07_03_2.boxes.json"), true),
                      std::make_pair(std::string("event_05_03_2024_09_07_03.mp4.boxes.json"), false),
                      std::make_pair(std::string("event_05_03_2024_09_07_03.boxes.json.tmp"), false),
                      std::make_pair(std::string("events.jsonl"), false), std::make_pair(std::string("record_05_03_2024_09_07_03.avi"), false),
                      std::make_pair(std::string("event_05_03_2024_09_07_03.avi.part"), false),
                      std::make_pair(std::string("event_05_03_2024_09_07_03.AVI"), false),
                      std::make_pair(std::string("event_05_03_2024_09_07_3.avi"), false),
                      std::make_pair(std::string("event_5_03_2024_09_07_03.avi"), false),
                      std::make_pair(std::string("event_05_03_2024_09_07_03_.avi"), false),
                      std::make_pair(std::string("event_05_03_2024_09_07_03_0.avi"), false),
                      std::make_pair(std::string("event_05_03_2024_09_07_03_x.avi"), false),
                      std::make_pair(std::string("event_05_03_2024_09_07_03.png"), false),
                      std::make_pair(std::string("event_.avi"), false), std::make_pair(std::string("xevent_05_03_2024_09_07_03.avi"), false),
                      std::make_pair(std::string("event_05-03-2024_09_07_03.avi"), false)),
    [](const ::testing::TestParamInfo<std::pair<std::string, bool>>& c) { return "Case" + std::to_string(c.index); });

class RetentionTest : public test::TempFolderTest {
protected:
    void SetUp() override { fs::create_directory(folder); }

    // A file of `bytes` last written `age` before now.
    void make(const fs::path& path, std::uint64_t bytes, system_clock::duration age) {
        std::ofstream(path, std::ios::binary) << std::string(bytes, 'x');
        fs::last_write_time(path, fs::file_time_type::clock::now() - age);
    }
    // Clips event_01_01_2024_00_00_0N.avi, N = 0 oldest, each 100 KB, a
    // minute apart.
    std::vector<std::string> clips(int n) {
        std::vector<std::string> names;
        for (int i = 0; i < n; ++i) {
            names.push_back("event_01_01_2024_00_00_0" + std::to_string(i) + ".avi");
            make(folder / names.back(), 100 * kKB, std::chrono::minutes(60 - i));
        }
        return names;
    }
    bool present(const std::string& name) const { return fs::exists(fs::symlink_status(folder / name)); }
    SweepResult sweep(const RetentionRules& rules, const std::set<std::string>& keep = {}) {
        return sweepEventFolder(folder.string(), rules, system_clock::now(), keep, plentyOfRoom);
    }

    const fs::path& root = dir;
    const fs::path folder = dir / "events";
    FreeSpaceProbe plentyOfRoom = [](const std::string&) { return std::uint64_t(1) << 40; };
};

RetentionRules capOf(std::uint64_t bytes) {
    RetentionRules rules;
    rules.maxFolderBytes = bytes;
    rules.minFreeBytes = 64 * kKB;
    return rules;
}

TEST_F(RetentionTest, ACapDeletesTheOldestClipsAndSnapshotsUntilTheFolderIsUnderIt) {
    const std::vector<std::string> names = clips(5);
    make(folder / "event_01_01_2024_00_00_00.jpg", 20 * kKB, 59min + 59s);  // the oldest clip's snapshot
    // Box files go with their clips, whatever their own age; one whose clip is gone goes on its own.
    make(folder / "event_01_01_2024_00_00_00.boxes.json", 10 * kKB, 59min + 58s);
    make(folder / "event_01_01_2024_00_00_04.boxes.json", 10 * kKB, 100 * kDay);
    make(folder / "event_01_01_2023_00_00_00.boxes.json", 10 * kKB, 100 * kDay);
    make(folder / "events.jsonl", 500 * kKB, 100 * kDay);                    // old and large: not an event file
    make(folder / "notes.txt", 10 * kKB, 100 * kDay);
    const SweepResult result = sweep(capOf(250 * kKB));
    EXPECT_FALSE(present(names[0]));
    EXPECT_FALSE(present("event_01_01_2024_00_00_00.jpg"));
    EXPECT_FALSE(present(names[1]));
    EXPECT_FALSE(present(names[2]));
    EXPECT_TRUE(present(names[3]));
    EXPECT_TRUE(present(names[4]));
    EXPECT_FALSE(present("event_01_01_2024_00_00_00.boxes.json"));
    EXPECT_TRUE(present("event_01_01_2024_00_00_04.boxes.json")) << "its clip stays";
    EXPECT_FALSE(present("event_01_01_2023_00_00_00.boxes.json"));
    EXPECT_TRUE(present("events.jsonl"));
    EXPECT_TRUE(present("notes.txt"));
    EXPECT_EQ(result.clips, 3);
    EXPECT_EQ(result.snapshots, 1);
    EXPECT_EQ(result.boxes, 1);
    EXPECT_EQ(result.keptBytes, 210 * kKB);
    EXPECT_EQ(describeSweep(result, "events", capOf(250 * kKB)),
              "Retention: deleted 3 clips, 1 snapshot and 1 box file (340 KB) to keep events under 0.244141 MB");
}

TEST_F(RetentionTest, AnAgeDeletesWhatIsOlderAndNothingElse) {
    make(folder / "event_01_01_2024_00_00_00.avi", kKB, 10 * kDay);
    make(folder / "event_01_01_2024_00_00_00.jpg", kKB, 10 * kDay);
    make(folder / "event_02_01_2024_00_00_00.mp4", kKB, 3 * kDay);
    make(folder / "event_03_01_2024_00_00_00.avi", kKB, kDay);
    make(folder / "events.jsonl", kKB, 10 * kDay);
    const RetentionRules rules = retentionRules(0, 2);
    const SweepResult result = sweep(rules);
    EXPECT_FALSE(present("event_01_01_2024_00_00_00.avi"));
    EXPECT_FALSE(present("event_01_01_2024_00_00_00.jpg"));
    EXPECT_FALSE(present("event_02_01_2024_00_00_00.mp4"));
    EXPECT_TRUE(present("event_03_01_2024_00_00_00.avi"));
    EXPECT_TRUE(present("events.jsonl"));
    EXPECT_EQ(describeSweep(result, "events", rules),
              "Retention: deleted 2 clips and 1 snapshot (3 KB) older than 2 days");
}

TEST_F(RetentionTest, UnderTheLimitsNothingIsDeletedOrSaid) {
    const std::vector<std::string> names = clips(3);
    const SweepResult result = sweep(capOf(300 * kKB));
    for (const std::string& name : names) EXPECT_TRUE(present(name));
    EXPECT_EQ(describeSweep(result, "events", capOf(300 * kKB)), "");
    EXPECT_EQ(describeSweep(sweep(retentionRules(0, 1)), "events", retentionRules(0, 1)), "");
}

TEST_F(RetentionTest, TheClipBeingWrittenIsKeptEvenWhenOldest) {
    const std::vector<std::string> names = clips(4);
    make(folder / "event_01_01_2024_00_00_00.boxes.json", kKB, 100 * kDay);  // its box file, being written too
    const SweepResult result = sweep(capOf(250 * kKB), {names[0]});
    EXPECT_TRUE(present(names[0]));
    EXPECT_TRUE(present("event_01_01_2024_00_00_00.boxes.json"));
    EXPECT_FALSE(present(names[1]));
    EXPECT_FALSE(present(names[2]));
    EXPECT_TRUE(present(names[3]));
    EXPECT_EQ(result.clips, 2);
}

TEST_F(RetentionTest, LinksAndFoldersNamedLikeClipsAreNeitherFollowedCountedNorDeleted) {
    const std::vector<std::string> names = clips(2);
    // A huge file elsewhere, linked under a clip's name: were it counted, the cap would empty the folder.
    make(root / "precious.avi", 1000 * kKB, 100 * kDay);
    fs::create_symlink(root / "precious.avi", folder / "event_01_01_2020_00_00_00.avi");
    fs::create_symlink(folder / names[0], folder / "event_01_01_2020_00_00_01.avi");
    fs::create_directory(folder / "event_01_01_2020_00_00_02.avi");
    fs::last_write_time(folder / "event_01_01_2020_00_00_02.avi", fs::file_time_type::clock::now() - 100 * kDay);
    RetentionRules rules = capOf(250 * kKB);
    rules.maxAge = std::chrono::hours(24);
    const SweepResult result = sweep(rules);
    EXPECT_EQ(result.clips, 0);
    EXPECT_EQ(result.keptBytes, 200 * kKB);
    EXPECT_TRUE(present("event_01_01_2020_00_00_00.avi"));
    EXPECT_TRUE(present("event_01_01_2020_00_00_01.avi"));
    EXPECT_TRUE(fs::is_directory(folder / "event_01_01_2020_00_00_02.avi"));
    EXPECT_EQ(fs::file_size(root / "precious.avi"), 1000 * kKB);
    EXPECT_TRUE(present(names[0]));
}

TEST_F(RetentionTest, ANearlyFullDiskDeletesTheOldestClipsUntilThereIsRoom) {
    const std::vector<std::string> names = clips(5);
    RetentionRules rules = capOf(100000 * kKB);  // far from the cap
    rules.minFreeBytes = 250 * kKB;
    const SweepResult result = sweepEventFolder(folder.string(), rules, system_clock::now(), {},
                                                [](const std::string&) { return std::uint64_t(10 * kKB); });
    // 10 KB free, then 110, 210, 310: three deleted.
    EXPECT_FALSE(present(names[2]));
    EXPECT_TRUE(present(names[3]));
    EXPECT_EQ(result.clips, 3);
    EXPECT_EQ(describeSweep(result, "events", rules),
              "Retention: deleted 3 clips (300 KB) to keep room on its disk");
    // Without a cap the disk is not watched: that is the disk guard's business.
    clips(5);
    EXPECT_EQ(sweepEventFolder(folder.string(), retentionRules(0, 30), system_clock::now(), {},
                               [](const std::string&) { return std::uint64_t(0); })
                  .clips,
              0);
}

TEST_F(RetentionTest, SweepsAtStartAndOnceAMinuteOnItsOwnThread) {
    std::atomic<std::int64_t> steadySeconds{0};
    RetentionClocks clocks;
    clocks.steady = [&steadySeconds] {
        return std::chrono::steady_clock::time_point(std::chrono::seconds(steadySeconds.load()));
    };
    std::mutex mutex;
    std::vector<std::string> lines;
    make(folder / "event_01_01_2024_00_00_00.avi", kKB, 3 * kDay);
    Retention retention(folder.string(), retentionRules(0, 1),
                        [&](const std::string& line) {
                            std::lock_guard<std::mutex> lock(mutex);
                            lines.push_back(line);
                        },
                        clocks, plentyOfRoom);
    retention.waitIdle();
    EXPECT_FALSE(present("event_01_01_2024_00_00_00.avi")) << "swept at start";

    make(folder / "event_02_01_2024_00_00_00.avi", kKB, 3 * kDay);
    steadySeconds = 59;
    retention.tick();
    retention.waitIdle();
    EXPECT_TRUE(present("event_02_01_2024_00_00_00.avi")) << "not before a minute";
    steadySeconds = 60;
    retention.tick();
    retention.waitIdle();
    EXPECT_FALSE(present("event_02_01_2024_00_00_00.avi"));

    make(folder / "event_03_01_2024_00_00_00.avi", kKB, 3 * kDay);
    retention.protect("event_03_01_2024_00_00_00.avi");
    steadySeconds = 200;
    retention.tick();
    retention.waitIdle();
    EXPECT_TRUE(present("event_03_01_2024_00_00_00.avi")) << "protected";
    retention.release("event_03_01_2024_00_00_00.avi");
    retention.sweepNow();
    EXPECT_FALSE(present("event_03_01_2024_00_00_00.avi"));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(lines, std::vector<std::string>(3, "Retention: deleted 1 clip (1 KB) older than 1 day"));
}

}  // namespace
}  // namespace tarvolen
