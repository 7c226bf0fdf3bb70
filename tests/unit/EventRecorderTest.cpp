#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <system_error>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "TestSupport.h"
#include "events/ClipChannel.h"
#include "events/EventRecorder.h"
#include "events/FrameBuffer.h"

namespace tarvolen {
namespace {

using test::levelOf;
using test::stampedFrame;

bool carriesIndex(const cv::Mat& frame, std::int64_t index) {
    return !frame.empty() && std::abs(cv::mean(frame)[0] - levelOf(index)) < 2.0;
}

// What a fake sink saw, shared with the test.
struct SinkLog {
    std::mutex mutex;
    struct Clip {
        std::string path;
        cv::Size size;
        double fps = 0;
        std::vector<cv::Mat> frames;
        bool finished = false;
    };
    std::vector<Clip> clips;
    std::set<std::string> failingPaths;  // open() fails for these
    int failAfterFrames = -1;            // write() fails after this many frames of a clip
    std::chrono::milliseconds writeDelay{0};
};

class FakeSink : public ClipSink {
public:
    explicit FakeSink(std::shared_ptr<SinkLog> l) : log(std::move(l)) {}
    bool open(const std::string& path, cv::Size size, double fps) override {
        std::lock_guard<std::mutex> lock(log->mutex);
        failedPath = path;
        if (log->failingPaths.count(path)) return false;
        log->clips.push_back(SinkLog::Clip{path, size, fps, {}, false});
        index = log->clips.size() - 1;
        return true;
    }
    bool write(const cv::Mat& frame) override {
        std::this_thread::sleep_for(log->writeDelay);
        std::lock_guard<std::mutex> lock(log->mutex);
        auto& clip = log->clips[index];
        if (log->failAfterFrames >= 0 && static_cast<int>(clip.frames.size()) >= log->failAfterFrames)
            return false;
        clip.frames.push_back(frame);
        return true;
    }
    bool finish() override {
        std::lock_guard<std::mutex> lock(log->mutex);
        if (index < log->clips.size()) log->clips[index].finished = true;
        return true;
    }
    std::string failure() const override { return "cannot write " + failedPath; }

private:
    std::shared_ptr<SinkLog> log;
    std::size_t index = static_cast<std::size_t>(-1);
    std::string failedPath;
};

ClipSinkFactory fakeSinks(const std::shared_ptr<SinkLog>& log) {
    return [log] { return std::make_unique<FakeSink>(log); };
}

// ---- FrameBuffer

TEST(FrameBuffer, GivesFramesBackInOrderAndDecodable) {
    FrameBuffer buffer(FrameBufferLimits{0, 64u << 20, 90});  // compress everything
    for (int i = 0; i < 40; ++i) buffer.push(i, stampedFrame(i));
    EXPECT_EQ(buffer.size(), 40u);
    for (int i = 0; i < 40; ++i) {
        const StoredFrame f = buffer.pop();
        ASSERT_EQ(f.index, i);
        const cv::Mat picture = f.image();
        EXPECT_EQ(picture.size(), cv::Size(32, 24));
        EXPECT_EQ(picture.type(), CV_8UC3);
        EXPECT_TRUE(carriesIndex(picture, i)) << "frame " << i;
    }
    EXPECT_TRUE(buffer.pop().empty());
    EXPECT_EQ(buffer.bytes(), 0u);
}

TEST(FrameBuffer, KeepsFramesUncompressedWithinTheRawBudget) {
    FrameBuffer buffer(FrameBufferLimits{1u << 20, 8u << 20, 90});
    const cv::Mat frame = stampedFrame(3);
    buffer.push(3, frame);
    const StoredFrame f = buffer.pop();
    EXPECT_TRUE(f.jpeg.empty());
    EXPECT_EQ(f.raw.data, frame.data);  // the very pixels, not a copy
    EXPECT_EQ(buffer.framesCompressed(), 0u);
}

TEST(FrameBuffer, CompressesTheOldestFramesBeyondTheRawBudget) {
    const cv::Size size(64, 48);
    const std::size_t frameBytes = 64 * 48 * 3;
    FrameBuffer buffer(FrameBufferLimits{3 * frameBytes, 8u << 20, 90});
    for (int i = 0; i < 10; ++i) buffer.push(i, stampedFrame(i, size));
    test::eventually([&] { return buffer.framesCompressed() >= 7; });
    EXPECT_EQ(buffer.framesCompressed(), 7u);
    for (int i = 0; i < 10; ++i) {
        const StoredFrame f = buffer.pop();
        EXPECT_EQ(f.raw.empty(), i < 7) << "frame " << i;
        EXPECT_TRUE(carriesIndex(f.image(), i));
    }
}

// Two seconds of 1920 x 1080 at 30 frames per second fit in 64 MiB.
TEST(FrameBuffer, HoldsTwoSecondsOfFullHdInSixtyFourMiB) {
    const std::size_t limit = 64u << 20;
    FrameBuffer buffer(FrameBufferLimits{0, limit, 90});
    cv::Mat scene(1080, 1920, CV_8UC3);
    cv::randn(scene, cv::Scalar::all(110), cv::Scalar::all(12));  // sensor-like noise
    cv::GaussianBlur(scene, scene, cv::Size(5, 5), 0);
    for (int i = 0; i < 60; ++i) {
        cv::Mat frame = scene.clone();
        cv::rectangle(frame, cv::Rect(30 * i, 400, 200, 300), cv::Scalar(230, 200, 40), cv::FILLED);
        buffer.push(i, frame);
        EXPECT_LE(buffer.bytes(), limit);
    }
    EXPECT_LE(buffer.peakBytes(), limit);
    RecordProperty("peak_bytes", std::to_string(buffer.peakBytes()));
    for (int i = 0; i < 60; ++i) {
        const StoredFrame f = buffer.pop();
        ASSERT_EQ(f.index, i);
        EXPECT_EQ(f.image().size(), cv::Size(1920, 1080));
    }
}

TEST(FrameBuffer, IncompressibleFramesOverTheLimitDoNotBlockForever) {
    // Noise hardly compresses: the limit cannot hold, push() must go on.
    FrameBuffer buffer(FrameBufferLimits{0, 200u << 10, 90});
    std::mt19937 random(1);
    for (int i = 0; i < 20; ++i) {
        cv::Mat noise(120, 160, CV_8UC3);
        cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(256));
        buffer.push(i, noise);
    }
    for (int i = 0; i < 20; ++i) EXPECT_EQ(buffer.pop().index, i);
}

// A codec that throws something other than cv::Exception (no memory for its
// output, or anything else) must leave the frame raw, as a codec failure
// does, instead of ending the program from the encoder thread.
enum class EncoderThrow { BadAlloc, RuntimeError, NotAnException };

class ThrowingEncoder : public ::testing::TestWithParam<EncoderThrow> {
protected:
    JpegEncoder encoder() {
        return [this](const cv::Mat&, const std::vector<int>&, std::vector<unsigned char>& jpeg) -> bool {
            ++attempts;
            jpeg.assign(16, 0);  // a partial result must not be kept
            switch (GetParam()) {
                case EncoderThrow::BadAlloc:
                    throw std::bad_alloc();
                case EncoderThrow::RuntimeError:
                    throw std::runtime_error("codec on fire");
                case EncoderThrow::NotAnException:
                    throw 42;
            }
            return false;
        };
    }
    std::atomic<int> attempts{0};
};

TEST_P(ThrowingEncoder, LeavesFramesRawAndInOrder) {
    const std::size_t frameBytes = 32 * 24 * 3;
    // Room for three frames only: push() must not wait for room the encoder
    // cannot make.
    FrameBuffer buffer(FrameBufferLimits{0, 3 * frameBytes, 90, encoder()});
    constexpr int kFrames = 10;
    for (int i = 0; i < kFrames; ++i) buffer.push(i, stampedFrame(i));
    test::eventually([&] { return attempts.load() >= kFrames; });
    EXPECT_EQ(attempts.load(), kFrames);
    EXPECT_EQ(buffer.framesCompressed(), 0u);
    EXPECT_EQ(buffer.bytes(), kFrames * frameBytes);
    for (int i = 0; i < kFrames; ++i) {
        const StoredFrame f = buffer.pop();
        ASSERT_EQ(f.index, i);
        EXPECT_TRUE(f.jpeg.empty());
        EXPECT_TRUE(carriesIndex(f.raw, i)) << "frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(FrameBuffer, ThrowingEncoder,
                         ::testing::Values(EncoderThrow::BadAlloc, EncoderThrow::RuntimeError,
                                           EncoderThrow::NotAnException));

// ---- ClipChannel

TEST(ClipChannel, WritesFramesInOrderIntoTheirClips) {
    auto log = std::make_shared<SinkLog>();
    {
        ClipChannel channel(fakeSinks(log), 1u << 20);
        channel.open("a.avi", cv::Size(32, 24), 25.0);
        for (int i = 0; i < 5; ++i) channel.write(StoredFrame{i, stampedFrame(i), {}});
        channel.close();
        channel.open("b.avi", cv::Size(32, 24), 25.0);
        std::vector<unsigned char> jpeg;
        cv::imencode(".jpg", stampedFrame(9), jpeg);
        channel.write(StoredFrame{9, cv::Mat(), jpeg});
        channel.drain();
        EXPECT_EQ(channel.clipsFinished(), 1);
        EXPECT_TRUE(channel.failure().empty());
    }  // the destructor finishes b.avi
    ASSERT_EQ(log->clips.size(), 2u);
    EXPECT_EQ(log->clips[0].path, "a.avi");
    EXPECT_EQ(log->clips[0].fps, 25.0);
    ASSERT_EQ(log->clips[0].frames.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(carriesIndex(log->clips[0].frames[i], i));
    ASSERT_EQ(log->clips[1].frames.size(), 1u);
    EXPECT_TRUE(carriesIndex(log->clips[1].frames[0], 9));
    EXPECT_TRUE(log->clips[0].finished && log->clips[1].finished);
}

TEST(ClipChannel, ReportsAClipThatCannotBeCreatedAndGoesOn) {
    auto log = std::make_shared<SinkLog>();
    log->failingPaths = {"bad.avi"};
    ClipChannel channel(fakeSinks(log), 1u << 20);
    channel.open("bad.avi", cv::Size(32, 24), 25.0);
    channel.write(StoredFrame{0, stampedFrame(0), {}});
    channel.close();
    channel.open("good.avi", cv::Size(32, 24), 25.0);
    channel.write(StoredFrame{1, stampedFrame(1), {}});
    channel.close();
    channel.drain();
    EXPECT_EQ(channel.failure(), "cannot write bad.avi");
    ASSERT_EQ(log->clips.size(), 1u);
    EXPECT_EQ(log->clips[0].frames.size(), 1u);
}

TEST(ClipChannel, ASlowDiskHoldsTheProducerBackWithoutLosingFrames) {
    auto log = std::make_shared<SinkLog>();
    log->writeDelay = std::chrono::milliseconds(2);
    const std::size_t frameBytes = 32 * 24 * 3;
    ClipChannel channel(fakeSinks(log), 3 * frameBytes);
    channel.open("slow.avi", cv::Size(32, 24), 25.0);
    for (int i = 0; i < 30; ++i) channel.write(StoredFrame{i, stampedFrame(i), {}});
    channel.close();
    channel.drain();
    ASSERT_EQ(log->clips.size(), 1u);
    ASSERT_EQ(log->clips[0].frames.size(), 30u);
    for (int i = 0; i < 30; ++i) EXPECT_TRUE(carriesIndex(log->clips[0].frames[i], i));
}

// A sink (or its factory) that throws must not take the program down: the
// clip is reported as failed, and the channel goes on with the next clip.
enum class ThrowingStage { Factory, Open, Write, Finish };

class ThrowingSink : public FakeSink {
public:
    ThrowingSink(std::shared_ptr<SinkLog> l, ThrowingStage s) : FakeSink(std::move(l)), stage(s) {}
    bool open(const std::string& path, cv::Size size, double fps) override {
        // As when the writer's thread cannot be started.
        if (stage == ThrowingStage::Open)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return FakeSink::open(path, size, fps);
    }
    bool write(const cv::Mat& frame) override {
        if (stage == ThrowingStage::Write) throw std::runtime_error("disk on fire");
        return FakeSink::write(frame);
    }
    bool finish() override {
        FakeSink::finish();
        if (stage == ThrowingStage::Finish) throw std::bad_alloc();
        return true;
    }

private:
    ThrowingStage stage;
};

class ThrowingClipSink : public ::testing::TestWithParam<ThrowingStage> {
protected:
    // Sinks for "boom.avi" throw at the stage under test; others behave.
    ClipSinkFactory sinks() {
        return [log = log, stage = GetParam(), opened = std::make_shared<int>(0)]() -> std::unique_ptr<ClipSink> {
            if ((*opened)++ > 0) return std::make_unique<FakeSink>(log);
            if (stage == ThrowingStage::Factory) throw std::runtime_error("no sink today");
            return std::make_unique<ThrowingSink>(log, stage);
        };
    }
    // Runs the channel through a throwing clip and a good one; what went
    // wrong, or empty.
    std::string scenario() {
        std::string failure;
        {
            ClipChannel channel(sinks(), 1u << 20);
            channel.open("boom.avi", cv::Size(32, 24), 25.0);
            for (int i = 0; i < 3; ++i) channel.write(StoredFrame{i, stampedFrame(i), {}});
            channel.close();
            channel.open("after.avi", cv::Size(32, 24), 25.0);
            for (int i = 3; i < 5; ++i) channel.write(StoredFrame{i, stampedFrame(i), {}});
            channel.close();
            channel.drain();
            failure = channel.failure();
        }
        std::fprintf(stderr, "failure: %s\n", failure.c_str());
        std::lock_guard<std::mutex> lock(log->mutex);
        const auto after = std::find_if(log->clips.begin(), log->clips.end(),
                                        [](const SinkLog::Clip& c) { return c.path == "after.avi"; });
        if (after == log->clips.end()) return "the clip after the failure was not opened";
        if (after->frames.size() != 2 || !after->finished) return "the clip after the failure is incomplete";
        if (GetParam() == ThrowingStage::Write) {
            // Its sink threw on the first frame; the file is still finished.
            if (log->clips.front().path != "boom.avi" || !log->clips.front().finished)
                return "the failed clip was not finished";
        }
        return "";
    }
    std::shared_ptr<SinkLog> log = std::make_shared<SinkLog>();
};

// Run in a child process: on a channel that lets the exception escape, the
// child is terminated and the test fails instead of the whole suite.
TEST_P(ThrowingClipSink, IsReportedAndTheChannelGoesOn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const std::string problem = scenario();
            std::fprintf(stderr, "%s\n", problem.c_str());
            std::fflush(stderr);
            std::_Exit(problem.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "failure: boom\\.avi: [^\n]+");
}

INSTANTIATE_TEST_SUITE_P(ClipChannel, ThrowingClipSink,
                         ::testing::Values(ThrowingStage::Factory, ThrowingStage::Open, ThrowingStage::Write,
                                           ThrowingStage::Finish));

// ---- EventRecorder

struct Scenario {
    std::vector<int> objectCounts;  // per frame
    EventRules rules;
};

// Boxes of a frame: `count` boxes whose places depend on the frame.
std::vector<cv::Rect> boxesFor(std::int64_t index, int count) {
    std::vector<cv::Rect> boxes;
    for (int k = 0; k < count; ++k)
        boxes.emplace_back(static_cast<int>(index % 17) + 20 * k, 3 + k, 4 + k,
                           5 + static_cast<int>(index % 3));
    return boxes;
}

class EventRecorderTest : public ::testing::Test {
protected:
    std::shared_ptr<SinkLog> log = std::make_shared<SinkLog>();
    std::vector<EventRecord> records;

    EventRecorderSettings settings(const EventRules& r, FrameBufferLimits limits = {1u << 20, 8u << 20, 90}) {
        EventRecorderSettings s;
        s.rules = r;
        s.frameSize = cv::Size(32, 24);
        s.clipFps = 10.0;
        s.buffer = limits;
        return s;
    }

    std::unique_ptr<EventRecorder> make(const EventRecorderSettings& s) {
        return std::make_unique<EventRecorder>(
            s, fakeSinks(log),
            [](int n, const FrameInfo& first) {
                return "event_" + std::to_string(n) + "_from_" + std::to_string(first.index) + ".avi";
            },
            [this](const EventRecord& r) { records.push_back(r); });
    }

    // Feeds the counts, with peak pictures only where the recorder asks.
    void feed(EventRecorder& recorder, const std::vector<int>& counts, std::size_t upTo = SIZE_MAX) {
        for (std::size_t i = 0; i < counts.size() && i < upTo && !recorder.done(); ++i) {
            FrameInfo info{static_cast<std::int64_t>(i), 100.0 * static_cast<double>(i),
                           boxesFor(static_cast<std::int64_t>(i), counts[i])};
            cv::Mat peak;
            if (recorder.wantsPeakPicture(counts[i]))
                peak = stampedFrame(static_cast<std::int64_t>(i), {8, 6});
            recorder.addFrame(std::move(info), stampedFrame(static_cast<std::int64_t>(i)), peak);
        }
    }

    void expectMatchesBatch(const std::vector<int>& counts, const EventRules& r, std::size_t framesFed,
                            int maxEvents = 0) {
        std::vector<bool> active;
        for (std::size_t i = 0; i < framesFed; ++i) active.push_back(counts[i] > 0);
        std::vector<EventSpan> spans = batchEventSpans(active, r);
        if (maxEvents > 0 && spans.size() > static_cast<std::size_t>(maxEvents)) spans.resize(maxEvents);
        ASSERT_EQ(records.size(), spans.size());
        ASSERT_EQ(log->clips.size(), spans.size());
        for (std::size_t k = 0; k < spans.size(); ++k) {
            const EventRecord& rec = records[k];
            const EventSpan& span = spans[k];
            EXPECT_EQ(rec.number, static_cast<int>(k) + 1);
            EXPECT_EQ(rec.startFrame, span.start);
            EXPECT_EQ(rec.endFrame, span.end);
            EXPECT_EQ(rec.startMs, 100.0 * span.start);
            EXPECT_EQ(rec.endMs, 100.0 * span.end);
            std::int64_t activeFrames = 0;
            int maxObjects = 0;
            std::int64_t peak = -1;
            cv::Rect bbox;
            for (std::int64_t f = span.start; f <= span.end; ++f) {
                if (counts[f] == 0) continue;
                ++activeFrames;
                for (const cv::Rect& b : boxesFor(f, counts[f])) bbox = bbox.area() ? (bbox | b) : b;
                if (counts[f] > maxObjects) {
                    maxObjects = counts[f];
                    peak = f;
                }
            }
            EXPECT_EQ(rec.activeFrames, activeFrames);
            EXPECT_EQ(rec.maxObjects, maxObjects);
            EXPECT_EQ(rec.bbox, bbox);
            EXPECT_EQ(rec.peakFrame, peak);
            EXPECT_EQ(rec.peakObjects, boxesFor(peak, maxObjects));
            EXPECT_TRUE(carriesIndex(rec.peakPicture, peak)) << "event " << k + 1 << " peak " << peak;
            const SinkLog::Clip& clip = log->clips[k];
            EXPECT_EQ(clip.path, rec.clipPath);
            EXPECT_EQ(clip.path,
                      "event_" + std::to_string(k + 1) + "_from_" + std::to_string(span.start) + ".avi");
            EXPECT_TRUE(clip.finished);
            ASSERT_EQ(clip.frames.size(), static_cast<std::size_t>(span.end - span.start + 1));
            for (std::int64_t f = span.start; f <= span.end; ++f)
                EXPECT_TRUE(carriesIndex(clip.frames[f - span.start], f)) << "frame " << f;
        }
    }

    // Feeds the whole sequence, ends the stream and checks it all.
    void runAndCheck(const EventRules& r, const std::vector<int>& counts,
                     FrameBufferLimits limits = {1u << 20, 8u << 20, 90}) {
        auto recorder = make(settings(r, limits));
        feed(*recorder, counts);
        recorder->finish();
        expectMatchesBatch(counts, r, counts.size());
    }
};

EventRules rules(std::int64_t pre, std::int64_t post, std::int64_t minRun = 1) {
    EventRules r;
    r.pre = pre;
    r.post = post;
    r.minRun = minRun;
    return r;
}

TEST_F(EventRecorderTest, TwoBurstsGiveTwoClipsWithTheirPadding) {
    std::vector<int> counts(60, 0);
    for (int i = 10; i < 15; ++i) counts[i] = 1;
    for (int i = 30; i < 36; ++i) counts[i] = i < 33 ? 1 : 2;
    runAndCheck(rules(3, 4), counts);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].startFrame, 7);
    EXPECT_EQ(records[0].endFrame, 18);
    EXPECT_EQ(records[1].peakFrame, 33);
}

TEST_F(EventRecorderTest, AnEventOpenAtTheEndClosesAtTheLastFrame) {
    const EventRules r = rules(2, 10);
    std::vector<int> counts(20, 0);
    counts[17] = counts[18] = 1;
    auto recorder = make(settings(r));
    feed(*recorder, counts);
    EXPECT_TRUE(recorder->eventOpen());
    recorder->finish();
    EXPECT_FALSE(recorder->eventOpen());
    expectMatchesBatch(counts, r, counts.size());
    EXPECT_EQ(records.at(0).endFrame, 19);
}

TEST_F(EventRecorderTest, PreCaptureAtStartHoldsTheFramesThereAre) {
    std::vector<int> counts(12, 0);
    counts[3] = 1;
    runAndCheck(rules(10, 1), counts);
    EXPECT_EQ(records.at(0).startFrame, 0);
}

TEST_F(EventRecorderTest, EventsShorterThanTheMinimumLeaveNoClip) {
    std::vector<int> counts(30, 0);
    for (int i = 5; i < 8; ++i) counts[i] = 1;    // 3 frames: dropped
    for (int i = 15; i < 19; ++i) counts[i] = 1;  // 4 frames: kept
    runAndCheck(rules(1, 1, 4), counts);
    EXPECT_EQ(records.size(), 1u);
}

TEST_F(EventRecorderTest, CompressedPreCaptureFramesReachTheClipIntact) {
    std::vector<int> counts(40, 0);
    for (int i = 20; i < 25; ++i) counts[i] = 1;
    runAndCheck(rules(8, 3), counts, FrameBufferLimits{0, 8u << 20, 90});
}

TEST_F(EventRecorderTest, QuitAfterStopsAtTheNthEvent) {
    const EventRules r = rules(2, 2);
    std::vector<int> counts(80, 0);
    for (int start : {5, 20, 35, 50, 65}) counts[start] = counts[start + 1] = 1;
    EventRecorderSettings s = settings(r);
    s.maxEvents = 2;
    auto recorder = make(s);
    feed(*recorder, counts);
    EXPECT_TRUE(recorder->done());
    const std::int64_t fed = recorder->framesAdded();
    EXPECT_LE(fed, 23 + 2 + 1 + 1);  // event 2 ends at frame 23; then the lag
    recorder->finish();
    expectMatchesBatch(counts, r, static_cast<std::size_t>(fed), 2);
}

TEST_F(EventRecorderTest, AFailingClipIsReportedAndTheOthersAreWritten) {
    EventRules r;
    std::vector<int> counts(20, 0);
    counts[2] = counts[10] = 1;
    log->failingPaths = {"event_1_from_2.avi"};
    auto recorder = make(settings(r));
    feed(*recorder, counts);
    recorder->finish();
    EXPECT_EQ(recorder->clipFailure(), "cannot write event_1_from_2.avi");
    EXPECT_EQ(records.size(), 2u);
    ASSERT_EQ(log->clips.size(), 1u);
    EXPECT_EQ(log->clips[0].frames.size(), 1u);
}

TEST_F(EventRecorderTest, WithoutClipsOnlyRecordsAreMade) {
    EventRules r;
    r.post = 2;
    std::vector<int> counts(20, 0);
    counts[4] = 3;
    EventRecorderSettings s = settings(r);
    s.clipFps = 0;
    EventRecorder recorder(s, nullptr, nullptr, [this](const EventRecord& rec) { records.push_back(rec); });
    EXPECT_FALSE(recorder.writesClips());
    feed(recorder, counts);
    recorder.finish();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].maxObjects, 3);
    EXPECT_TRUE(records[0].clipPath.empty());
}

// Random object counts: records, clips and peak pictures always agree with
// the batch rules, while peak pictures are made only where asked for.
TEST_F(EventRecorderTest, RandomSequencesAgreeWithTheBatchRules) {
    std::mt19937 random(99);
    for (int trial = 0; trial < 150; ++trial) {
        log = std::make_shared<SinkLog>();
        records.clear();
        const EventRules r = rules(random() % 6, random() % 6, 1 + random() % 4);
        std::vector<int> counts(random() % 120);
        int level = 0;
        for (int& c : counts) {
            if (random() % 6 == 0) level = random() % 3 == 0 ? 0 : static_cast<int>(random() % 4);
            c = level;
        }
        runAndCheck(r, counts, FrameBufferLimits{(random() % 2) * (1u << 20), 8u << 20, 90});
        if (HasFailure()) return;
    }
}

}  // namespace
}  // namespace tarvolen
