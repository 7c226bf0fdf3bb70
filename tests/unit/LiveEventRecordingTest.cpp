#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "TestSupport.h"
#include "events/EventJson.h"
#include "events/LiveEventRecording.h"

namespace tarvolen {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using SteadyTime = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;

// Runs a test in a time zone given as a POSIX rule (no zone database needed).
class TimeZone {
public:
    explicit TimeZone(const char* rule) {
        if (const char* tz = std::getenv("TZ")) previous = tz;
        setenv("TZ", rule, 1);
        tzset();
    }
    ~TimeZone() {
        if (previous.empty()) {
            unsetenv("TZ");
        } else {
            setenv("TZ", previous.c_str(), 1);
        }
        tzset();
    }

private:
    std::string previous;
};

const char* const kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

// 2024-03-05 08:07:03 UTC, 09:07:03 in central Europe.
WallTime march5() { return std::chrono::system_clock::from_time_t(1709626023); }

TEST(EventClipName, IsTheLocalTimeOfTheFirstFrame) {
    std::tm t{};
    t.tm_year = 124;
    t.tm_mon = 2;
    t.tm_mday = 5;
    t.tm_hour = 9;
    t.tm_min = 7;
    t.tm_sec = 3;
    EXPECT_EQ(eventClipFileName(t), "event_05_03_2024_09_07_03.avi");
}

TEST(IsoLocalTime, HasMillisecondsAndTheOffsetOfTheDay) {
    TimeZone zone(kCentralEurope);
    EXPECT_EQ(isoLocalTime(march5() + milliseconds(45)), "2024-03-05T09:07:03.045+01:00");
    EXPECT_EQ(isoLocalTime(march5() + milliseconds(999) + std::chrono::microseconds(999)),
              "2024-03-05T09:07:03.999+01:00");
    // Summer time, four months on.
    EXPECT_EQ(isoLocalTime(march5() + std::chrono::hours(24 * 122)), "2024-07-05T10:07:03.000+02:00");
    TimeZone west("XYZ8");  // 8 hours behind UTC
    EXPECT_EQ(isoLocalTime(march5()), "2024-03-05T00:07:03.000-08:00");
}

TEST(EventLogLine, HoldsTheEventsFieldsInOrder) {
    TimeZone zone(kCentralEurope);
    EventRecord record;
    record.clipPath = "clips/event_05_03_2024_09_07_03_2.avi";
    const double startMs =
        std::chrono::duration<double, std::milli>(march5().time_since_epoch()).count() + 120.0;
    record.startMs = startMs;
    record.endMs = startMs + 61500.0;
    record.startFrame = 1200;
    record.endFrame = 1815;
    record.activeFrames = 300;
    record.maxObjects = 3;
    record.bbox = cv::Rect(10, 20, 300, 200);
    EXPECT_EQ(eventJsonLine(EventTimes::WallClock, record),
              R"({"file":"event_05_03_2024_09_07_03_2.avi","start":"2024-03-05T09:07:03.120+01:00",)"
              R"("end":"2024-03-05T09:08:04.620+01:00","start_frame":1200,"end_frame":1815,)"
              R"("active_frames":300,"max_objects":3,"bbox":[10,20,300,200]})");
}

TEST(FrameRateMeter, MeasuresAfterTheWindowWithoutTheFirstFrame) {
    FrameRateMeter meter(std::chrono::seconds(2));
    const SteadyTime t0{};
    // The first pass is slow (windows, buffers); then a frame every 40 ms.
    EXPECT_FALSE(meter.add(t0));
    const SteadyTime second = t0 + milliseconds(700);
    std::optional<double> rate;
    int frames = 1;
    for (; !rate; ++frames) {
        rate = meter.add(second + milliseconds(40) * (frames - 1));
        ASSERT_LT(frames, 100);
    }
    EXPECT_EQ(frames - 1, 51);  // the second frame and 50 steps of 40 ms after it
    EXPECT_DOUBLE_EQ(*rate, 25.0);
}

TEST(FrameRateMeter, KeepsTheRateToAHundredth) {
    FrameRateMeter meter(std::chrono::seconds(1));
    std::optional<double> rate;
    for (int i = 0; !rate; ++i) rate = meter.add(SteadyTime{} + std::chrono::microseconds(33367) * i);
    EXPECT_DOUBLE_EQ(*rate, 29.97);
}

// ---- the recorder with real clips, on small synthetic frames

constexpr int kWidth = 64;
constexpr int kHeight = 48;

using test::levelOf;

struct ClipContents {
    int frames = 0;
    double fps = 0;
    int firstLevel = -1;
    int lastLevel = -1;
};

ClipContents readClip(const fs::path& path) {
    ClipContents c;
    cv::VideoCapture in(path.string());
    if (!in.isOpened()) return c;
    c.fps = in.get(cv::CAP_PROP_FPS);
    cv::Mat frame;
    while (in.read(frame)) {
        const int level = static_cast<int>(std::lround(cv::mean(frame)[0]));
        if (c.frames == 0) c.firstLevel = level;
        c.lastLevel = level;
        ++c.frames;
    }
    return c;
}

bool levelIs(int level, std::int64_t index) { return std::abs(level - levelOf(index)) <= 2; }

class LiveEventRecordingTest : public test::TempFolderTest {
protected:
    void SetUp() override {
        settings.enabled = true;
        settings.folder = (dir / "clips").string();
        settings.preSeconds = 0.3;
        settings.postSeconds = 0.5;
    }
    // Feeds one frame per entry of `objects` (its object count), 100 ms apart
    // from `start`.
    void feed(LiveEventRecording& live, const std::vector<int>& objects, WallTime start = march5()) {
        for (std::size_t i = 0; i < objects.size(); ++i) {
            const std::int64_t index = live.framesSeen();
            const cv::Mat frame = test::stampedFrame(index, {kWidth, kHeight});
            std::vector<ObjectTrack> tracks;
            for (int k = 0; k < objects[i]; ++k)
                tracks.push_back(ObjectTrack{cv::Rect(5 + 10 * k, 6, 8, 9), 6});
            live.addFrame(
                frame, tracks,
                FrameTime{start + milliseconds(100) * index, SteadyTime{} + milliseconds(100) * index});
        }
    }

    // Feeds quiet frames until `events` events are logged (or patience runs
    // out).
    void runUntilLogged(LiveEventRecording& live, int events) {
        test::eventually([&] {
            feed(live, {0});
            return live.eventsLogged() >= events;
        });
    }

    std::vector<nlohmann::json> logLines() const {
        std::vector<nlohmann::json> lines;
        std::ifstream in(dir / "clips" / "events.jsonl");
        for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
        return lines;
    }

    // Activity at frames [from, to), quiet elsewhere, `count` frames.
    static std::vector<int> burst(int count, std::vector<std::pair<int, int>> runs) {
        std::vector<int> objects(count, 0);
        for (const auto& [from, to] : runs)
            for (int i = from; i < to; ++i) objects[i] = 1;
        return objects;
    }

    EventRecordingSettings settings;
    std::ostringstream messages;
};

TEST(PreCaptureRawBytes, LargeFramesAreCountedWithoutOverflow) {
    EXPECT_EQ(preCaptureRawBytes(cv::Size(768, 576)), 4u * 768 * 576 * 3);
    // 50000 x 50000 pixels overflow an int.
    EXPECT_EQ(preCaptureRawBytes(cv::Size(50000, 50000)), 4ull * 50000 * 50000 * 3);
}

TEST_F(LiveEventRecordingTest, SwitchedOffItTouchesNothing) {
    settings.enabled = false;
    LiveEventRecording live(settings, cv::Size(kWidth, kHeight), 10.0, messages);
    feed(live, burst(30, {{5, 10}}));
    live.finish();
    EXPECT_FALSE(live.on());
    EXPECT_FALSE(fs::exists(settings.folder));
    EXPECT_EQ(messages.str(), "");
}

TEST_F(LiveEventRecordingTest, TwoBurstsGiveTwoClipsWithPreCaptureAndTwoLogLines) {
    TimeZone zone(kCentralEurope);
    LiveEventRecording live(settings, cv::Size(kWidth, kHeight), 10.0, messages);
    ASSERT_TRUE(live.on());
    EXPECT_TRUE(fs::is_regular_file(dir / "clips" / "events.jsonl"));  // made at start
    // pre 3 frames, post 5 frames at 10 fps.
    feed(live, burst(60, {{10, 14}, {40, 42}}));
    runUntilLogged(live, 2);
    EXPECT_EQ(live.eventsLogged(), 2) << "both are logged while the program runs";
    live.finish();
    EXPECT_EQ(messages.str(), "");
    const std::vector<nlohmann::json> lines = logLines();
    ASSERT_EQ(lines.size(), 2u);
    const std::int64_t spans[2][2] = {{7, 18}, {37, 46}};
    for (int k = 0; k < 2; ++k) {
        const nlohmann::json& line = lines[k];
        EXPECT_EQ(line["start_frame"], spans[k][0]);
        EXPECT_EQ(line["end_frame"], spans[k][1]);
        EXPECT_EQ(line["active_frames"], k == 0 ? 4 : 2);
        EXPECT_EQ(line["max_objects"], 1);
        EXPECT_EQ(line["bbox"], nlohmann::json({5, 6, 8, 9}));
        const ClipContents clip = readClip(dir / "clips" / line["file"].get<std::string>());
        EXPECT_EQ(clip.frames, spans[k][1] - spans[k][0] + 1) << line;
        EXPECT_DOUBLE_EQ(clip.fps, 10.0);
        EXPECT_TRUE(levelIs(clip.firstLevel, spans[k][0])) << clip.firstLevel;
        EXPECT_TRUE(levelIs(clip.lastLevel, spans[k][1])) << clip.lastLevel;
    }
    // Frames 100 ms apart from 09:07:03.000: names and times follow the first frame.
    EXPECT_EQ(lines[0]["file"], "event_05_03_2024_09_07_03.avi");
    EXPECT_EQ(lines[0]["start"], "2024-03-05T09:07:03.700+01:00");
    EXPECT_EQ(lines[0]["end"], "2024-03-05T09:07:04.800+01:00");
    EXPECT_EQ(lines[1]["file"], "event_05_03_2024_09_07_06.avi");
}

TEST_F(LiveEventRecordingTest, Mp4ClipsAreH264NamedMp4WithEveryFrame) {
    TimeZone zone(kCentralEurope);
    settings.format = "mp4";
    LiveEventRecording live(settings, cv::Size(kWidth, kHeight), 10.0, messages);
    feed(live, burst(30, {{10, 14}}));
    runUntilLogged(live, 1);
    live.finish();
    EXPECT_EQ(messages.str(), "");
    const std::vector<nlohmann::json> lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["file"], "event_05_03_2024_09_07_03.mp4");
    const fs::path clip = dir / "clips" / "event_05_03_2024_09_07_03.mp4";
    cv::VideoCapture in(clip.string());
    ASSERT_TRUE(in.isOpened());
    EXPECT_EQ(static_cast<int>(in.get(cv::CAP_PROP_FOURCC)), cv::VideoWriter::fourcc('a', 'v', 'c', '1'));
    const ClipContents contents = readClip(clip);
    EXPECT_EQ(contents.frames, 18 - 7 + 1);
    EXPECT_DOUBLE_EQ(contents.fps, 10.0);
    EXPECT_NEAR(contents.firstLevel, levelOf(7), 6);
    EXPECT_NEAR(contents.lastLevel, levelOf(18), 6);
}

TEST_F(LiveEventRecordingTest, ActivityWithinThePostTimeExtendsTheEvent) {
    LiveEventRecording live(settings, cv::Size(kWidth, kHeight), 10.0, messages);
    feed(live, burst(50, {{10, 14}, {20, 24}}));  // a gap of 6 frames: 5 post + 3 pre reach over it
    live.finish();
    const std::vector<nlohmann::json> lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["start_frame"], 7);
    EXPECT_EQ(lines[0]["end_frame"], 28);
    EXPECT_EQ(lines[0]["active_frames"], 8);
    EXPECT_EQ(readClip(dir / "clips" / lines[0]["file"].get<std::string>()).frames, 22);
}

TEST_F(LiveEventRecordingTest, PreCaptureAtStartUpHoldsTheFramesThereAre) {
    LiveEventRecording live(settings, cv::Size(kWidth, kHeight), 10.0, messages);
    feed(live, burst(20, {{1, 3}}));
    live.finish();
    const std::vector<nlohmann::json> lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["start_frame"], 0);
    EXPECT_EQ(lines[0]["end_frame"], 7);
    const ClipContents clip = readClip(dir / "clips" / lines[0]["file"].get<std::string>());
    EXPECT_EQ(clip.frames, 8);
    EXPECT_TRUE(levelIs(clip.firstLevel, 0));
}

TEST_F(LiveEventRecordingTest, ShortActivityBelowTheMinimumLeavesNoClip) {
    settings.minEventSeconds = 0.4;  // 4 frames
    LiveEventRecording live(settings, cv::Size(kWidth, kHeight), 10.0, messages);
    feed(live, burst(60, {{10, 13}, {30, 34}}));
    live.finish();
    const std::vector<nlohmann::json> lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["start_frame"], 27);
    std::vector<fs::path> clips;
    for (const auto& entry : fs::directory_iterator(dir / "clips"))
        if (entry.path().extension() == ".avi") clips.push_back(entry.path());
    EXPECT_EQ(clips.size(), 1u);
}

TEST_F(LiveEventRecordingTest, ClipsOfOneSecondGetNumberedNamesAndReplaceNothing) {
    settings.preSeconds = 0;
    settings.postSeconds = 0;
    fs::create_directories(dir / "clips");
    std::ofstream(dir / "clips" / "event_05_03_2024_09_07_03.avi") << "an earlier clip";
    TimeZone zone(kCentralEurope);
    LiveEventRecording live(settings, cv::Size(kWidth, kHeight), 10.0, messages);
    // Three events within one second: frames 2, 4 and 6.
    feed(live, burst(9, {{2, 3}, {4, 5}, {6, 7}}));
    live.finish();
    const std::vector<nlohmann::json> lines = logLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["file"], "event_05_03_2024_09_07_03_2.avi");
    EXPECT_EQ(lines[1]["file"], "event_05_03_2024_09_07_03_3.avi");
    EXPECT_EQ(lines[2]["file"], "event_05_03_2024_09_07_03_4.avi");
    for (const auto& line : lines)
        EXPECT_EQ(readClip(dir / "clips" / line["file"].get<std::string>()).frames, 1);
    EXPECT_EQ(test::readFile(dir / "clips" / "event_05_03_2024_09_07_03.avi"), "an earlier clip");
}

TEST_F(LiveEventRecordingTest, FinishingDuringAnEventClosesItsClipAndLogsIt) {
    LiveEventRecording live(settings, cv::Size(kWidth, kHeight), 10.0, messages);
    feed(live, burst(25, {{10, 25}}));
    EXPECT_TRUE(live.recordingEvent());
    cv::Mat view(kHeight, kWidth, CV_8UC3, cv::Scalar::all(0));
    live.drawLabel(view);
    EXPECT_GT(cv::countNonZero(view.reshape(1)), 0) << "EVENT is drawn";
    EXPECT_EQ(logLines().size(), 0u);
    live.finish();
    EXPECT_FALSE(live.recordingEvent());
    const std::vector<nlohmann::json> lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["start_frame"], 7);
    EXPECT_EQ(lines[0]["end_frame"], 24);
    EXPECT_EQ(readClip(dir / "clips" / lines[0]["file"].get<std::string>()).frames, 18);
    feed(live, burst(5, {{0, 5}}));  // after the end nothing more is recorded
    EXPECT_EQ(logLines().size(), 1u);
}

TEST_F(LiveEventRecordingTest, ACameraRecordsOnceItsRateIsMeasured) {
    LiveEventRecording live(settings, cv::Size(kWidth, kHeight), 0.0, messages);
    // Activity during the first 2 s cannot be recorded: the rate is not known.
    feed(live, burst(60, {{5, 8}, {40, 43}}));
    EXPECT_DOUBLE_EQ(live.clipFps(), 10.0);
    live.finish();
    const std::vector<nlohmann::json> lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["start_frame"], 37);  // counted from start-up
    const ClipContents clip = readClip(dir / "clips" / lines[0]["file"].get<std::string>());
    EXPECT_EQ(clip.frames, 47 - 37 + 1);
    EXPECT_DOUBLE_EQ(clip.fps, 10.0);
}

TEST_F(LiveEventRecordingTest, TwoSecondsOfFullHdPreCaptureStayWithinSixtyFourMiB) {
    settings.preSeconds = 2.0;
    settings.postSeconds = 0.0;
    const cv::Size fullHd(1920, 1080);
    LiveEventRecording live(settings, fullHd, 30.0, messages);
    cv::Mat scene(fullHd, CV_8UC3);
    cv::randn(scene, cv::Scalar::all(110), cv::Scalar::all(12));  // sensor-like noise
    cv::GaussianBlur(scene, scene, cv::Size(5, 5), 0);
    const int quiet = 90;  // more than the 60 frames of pre-capture
    for (int i = 0; i <= quiet; ++i) {
        cv::Mat frame = scene.clone();
        cv::rectangle(frame, cv::Rect(20 * i, 400, 200, 300), cv::Scalar(230, 200, 40), cv::FILLED);
        std::vector<ObjectTrack> objects;
        if (i == quiet) objects.push_back(ObjectTrack{cv::Rect(20 * i, 400, 200, 300), 6});
        live.addFrame(frame, objects,
                      FrameTime{march5() + milliseconds(33) * i, SteadyTime{} + milliseconds(33) * i});
    }
    EXPECT_LE(live.bufferPeakBytes(), 64u << 20);
    RecordProperty("peak_bytes", std::to_string(live.bufferPeakBytes()));
    live.finish();
    const std::vector<nlohmann::json> lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["start_frame"], quiet - 60);
    EXPECT_EQ(readClip(dir / "clips" / lines[0]["file"].get<std::string>()).frames, 61);
}

TEST_F(LiveEventRecordingTest, AFolderThatCannotBeMadeSwitchesRecordingOff) {
    fs::create_directories(dir);
    std::ofstream(dir / "clips") << "a file where the folder should be";
    LiveEventRecording live(settings, cv::Size(kWidth, kHeight), 10.0, messages);
    EXPECT_FALSE(live.on());
    const std::string said = messages.str();
    EXPECT_EQ(said.rfind("Event recording off: cannot create the folder " + settings.folder, 0), 0u) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1);
    feed(live, burst(30, {{5, 10}}));
    live.finish();
    EXPECT_FALSE(live.recordingEvent());
}

TEST_F(LiveEventRecordingTest, ALogThatCannotBeOpenedSwitchesRecordingOff) {
    settings.log = "log";
    fs::create_directories(dir / "clips" / "log");  // a folder in the way
    LiveEventRecording live(settings, cv::Size(kWidth, kHeight), 10.0, messages);
    EXPECT_FALSE(live.on());
    EXPECT_EQ(messages.str(),
              "Event recording off: cannot write the log " + (dir / "clips" / "log").string() + "\n");
}

TEST_F(LiveEventRecordingTest, AClipThatCannotBeWrittenSwitchesOffAndKeepsWhatWasWritten) {
    LiveEventRecording live(settings, cv::Size(kWidth, kHeight), 10.0, messages);
    feed(live, burst(30, {{10, 12}}));
    runUntilLogged(live, 1);  // the line is written while the program runs
    ASSERT_EQ(logLines().size(), 1u);
    const std::string logBefore = test::readFile(dir / "clips" / "events.jsonl");
    // The folder goes away (an unplugged disk): the next clip cannot be made.
    const fs::path kept = dir / "kept";
    fs::rename(dir / "clips", kept);
    feed(live, burst(10, {}));
    // Activity goes on until the failure is noticed: its event never closes.
    test::eventually([&] {
        feed(live, {1});
        return !live.on();
    });
    live.finish();
    EXPECT_FALSE(live.on());
    const std::string said = messages.str();
    EXPECT_EQ(said.rfind("Event recording off: " + settings.folder + "/event_", 0), 0u) << said;
    EXPECT_NE(said.find("its folder does not exist"), std::string::npos) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1);
    EXPECT_EQ(test::readFile(kept / "events.jsonl"), logBefore);
    const std::string firstClip = nlohmann::json::parse(logBefore)["file"];
    EXPECT_EQ(readClip(kept / firstClip).frames, 3 + 2 + 5);
}

// The source dropped: the open event ends at the last frame with its log
// line, and the frames after the drop (here of another size) start afresh,
// with nothing from before the drop in their pre-capture.
TEST_F(LiveEventRecordingTest, EndingTheEventAtADropLogsItAndStartsAfresh) {
    LiveEventRecording live(settings, cv::Size(kWidth, kHeight), 10.0, messages);
    live.endEvent();  // nothing open: nothing happens
    feed(live, burst(20, {{10, 20}}));
    ASSERT_TRUE(live.recordingEvent());
    const cv::Size after(80, 60);
    live.endEvent(after);
    EXPECT_FALSE(live.recordingEvent());
    std::vector<nlohmann::json> lines = logLines();
    ASSERT_EQ(lines.size(), 1u) << "logged at once";
    EXPECT_EQ(lines[0]["start_frame"], 7);
    EXPECT_EQ(lines[0]["end_frame"], 19);
    EXPECT_EQ(readClip(dir / "clips" / lines[0]["file"].get<std::string>()).frames, 13);
    // Activity at once after the drop, frames 20 to 24.
    for (int i = 0; i < 15; ++i) {
        const std::int64_t index = live.framesSeen();
        const cv::Mat frame = test::stampedFrame(index, after);
        std::vector<ObjectTrack> tracks;
        if (i < 5) tracks.push_back(ObjectTrack{cv::Rect(5, 6, 8, 9), 6});
        live.addFrame(frame, tracks,
                      FrameTime{march5() + milliseconds(100) * index, SteadyTime{} + milliseconds(100) * index});
    }
    live.finish();
    EXPECT_EQ(messages.str(), "");
    lines = logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1]["start_frame"], 20) << "no pre-capture from before the drop";
    EXPECT_EQ(lines[1]["end_frame"], 29);
    const fs::path second = dir / "clips" / lines[1]["file"].get<std::string>();
    const ClipContents clip = readClip(second);
    EXPECT_EQ(clip.frames, 10);
    EXPECT_TRUE(levelIs(clip.firstLevel, 20)) << clip.firstLevel;
    cv::VideoCapture in(second.string());
    cv::Mat frame;
    ASSERT_TRUE(in.read(frame));
    EXPECT_EQ(frame.size(), after);
}

}  // namespace
}  // namespace tarvolen
