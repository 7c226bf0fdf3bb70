// The detection step the three programs share: without options it is the
// detector fed the frame's gray; scaled, its boxes come back covering their
// objects; a region leaves motion outside it out; a change of light starts
// the model afresh instead of making objects.
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "Prerequisite.h"
#include "events/DetectionStep.h"

namespace tarvolen {
namespace {

constexpr int kNumFrames = 5;  // a model update every 5 frames keeps the cases short
const cv::Size kScene(320, 240);

std::string sampleVideo() {
    if (const char* env = std::getenv("TARVOLEN_SAMPLE_VIDEO")) return env;
    return TARVOLEN_SAMPLE_VIDEO;
}

void quickDetector(Detector& detector) { ASSERT_TRUE(detector.setParameter(Detector::kNumFrames, kNumFrames)); }

// Gray frames from the first one on, as a program decodes them; the sample
// clip's people walk through every part of it.
class StepOnSample : public ::testing::TestWithParam<bool> {};

TEST_P(StepOnSample, IsTheDetectorFedTheFramesGray) {
    const bool withRegion = GetParam();
    cv::VideoCapture capture(sampleVideo());
    TARVOLEN_REQUIRE(capture.isOpened(), "sample clip " << sampleVideo() << " is absent; scripts/fetch-sample.sh");
    Detector direct, stepped;
    quickDetector(direct);
    quickDetector(stepped);
    DetectionStep step(stepped);
    cv::Mat colour, gray, directMask, stepMask, region;
    ASSERT_TRUE(capture.read(colour));
    // What the programs passed the detector until now: a region, or the whole frame.
    region = cv::Mat(colour.size(), CV_8UC1, cv::Scalar(withRegion ? 0 : 255));
    if (withRegion) region(cv::Rect(0, 300, 768, 276)).setTo(255);
    step.setRegion(withRegion ? region : cv::Mat());
    constexpr int kFrames = 120;
    int confirmedFrames = 0;
    for (int i = 0; i < kFrames && capture.read(colour); ++i) {
        cv::cvtColor(colour, gray, cv::COLOR_BGR2GRAY);
        ASSERT_TRUE(direct.process(gray.data, gray.cols, gray.rows, region.data));
        const Detection detection = step.process(colour);
        directMask.create(gray.size(), CV_8UC1);
        ASSERT_TRUE(direct.copyEventMask(directMask.data));
        step.copyEventMask(gray.size(), stepMask);
        ASSERT_EQ(cv::countNonZero(directMask != stepMask), 0) << "frame " << i;
        const std::vector<ObjectTrack> expected = direct.getConfirmedObjects();
        ASSERT_EQ(detection.objects.size(), expected.size()) << "frame " << i;
        for (std::size_t k = 0; k < expected.size(); ++k) {
            ASSERT_EQ(detection.objects[k].box, expected[k].box) << "frame " << i;
            ASSERT_EQ(detection.objects[k].score, expected[k].score) << "frame " << i;
        }
        EXPECT_FALSE(detection.lightChangePercent);
        confirmedFrames += !expected.empty();
    }
    EXPECT_GT(confirmedFrames, kFrames / 4);
}

INSTANTIATE_TEST_SUITE_P(WholeFrameAndRegion, StepOnSample, ::testing::Bool());

// A detected pixel is averaged from the delivered pixels under it: a box
// brought back must cover all of them, and no more than the pixels they touch.
TEST(DetectionStepBoxes, BroughtBackCoverEveryPixelTheirObjectWasAveragedFrom) {
    const std::pair<cv::Size, cv::Size> sizes[] = {{{640, 360}, {1920, 1080}},
                                                   {{640, 480}, {1280, 720}},
                                                   {{100, 75}, {333, 250}},
                                                   {{16, 9}, {7680, 4320}},
                                                   {{640, 360}, {320, 180}}};
    std::mt19937 random(7);
    for (const auto& [detected, delivered] : sizes) {
        const double sx = static_cast<double>(delivered.width) / detected.width;
        const double sy = static_cast<double>(delivered.height) / detected.height;
        for (int i = 0; i < 200; ++i) {
            const int x = static_cast<int>(random() % detected.width), y = static_cast<int>(random() % detected.height);
            const cv::Rect box(x, y, 1 + static_cast<int>(random() % (detected.width - x)),
                               1 + static_cast<int>(random() % (detected.height - y)));
            const cv::Rect back = DetectionStep::toDelivered(box, detected, delivered);
            const double left = box.x * sx, right = box.br().x * sx, top = box.y * sy, bottom = box.br().y * sy;
            EXPECT_TRUE(back.x <= left && back.x > left - 1 && back.br().x >= right && back.br().x < right + 1 &&
                        back.y <= top && back.y > top - 1 && back.br().y >= bottom && back.br().y < bottom + 1)
                << box << " of " << detected << " came back as " << back << " in " << delivered;
        }
    }
    EXPECT_EQ(DetectionStep::toDelivered(cv::Rect(3, 4, 5, 6), kScene, kScene), cv::Rect(3, 4, 5, 6));
}

TEST(DetectionStepBoxes, TheDetectedSizeKeepsTheAspect) {
    EXPECT_EQ(detectionSize(cv::Size(1920, 1080), 640), cv::Size(640, 360));
    EXPECT_EQ(detectionSize(cv::Size(768, 576), 100), cv::Size(100, 75));
    EXPECT_EQ(detectionSize(cv::Size(1000, 3), 16), cv::Size(16, 1));  // never below a row
    EXPECT_EQ(detectionSize(cv::Size(1920, 1080), 0), cv::Size(1920, 1080));
}

// A dark scene with a bright square going to and fro across its right half.
cv::Mat movingSquare(int frame) {
    cv::Mat picture(kScene, CV_8UC3, cv::Scalar(50, 50, 50));
    const int x = 180 + (frame * 6) % 100;
    cv::rectangle(picture, cv::Rect(x, 100, 24, 24), cv::Scalar(230, 230, 230), cv::FILLED);
    return picture;
}

// Frames with confirmed objects, and the boxes' union.
struct Seen {
    int framesWithObjects = 0;
    cv::Rect boxes;
    int lightChanges = 0;
};

template <typename Scene>
Seen run(DetectionStep& step, int frames, Scene scene) {
    Seen seen;
    for (int i = 0; i < frames; ++i) {
        const Detection detection = step.process(scene(i));
        seen.framesWithObjects += !detection.objects.empty();
        for (const ObjectTrack& o : detection.objects) seen.boxes |= o.box;
        seen.lightChanges += detection.lightChangePercent.has_value();
    }
    return seen;
}

class RegionAtWidth : public ::testing::TestWithParam<int> {};

TEST_P(RegionAtWidth, LeavesTheMotionOutsideItOut) {
    Detector open, limited;
    quickDetector(open);
    quickDetector(limited);
    DetectionStep whole(open, DetectionSettings{GetParam(), 0});
    DetectionStep left(limited, DetectionSettings{GetParam(), 0});
    cv::Mat region = cv::Mat::zeros(kScene, CV_8UC1);
    region(cv::Rect(0, 0, 160, 240)).setTo(255);
    left.setRegion(region);
    const Seen everywhere = run(whole, 100, movingSquare);
    EXPECT_GT(everywhere.framesWithObjects, 20);
    // In the scene's pixels, around the square's path.
    EXPECT_TRUE((cv::Rect(170, 90, 140, 44) & everywhere.boxes) == everywhere.boxes) << everywhere.boxes;
    EXPECT_EQ(run(left, 100, movingSquare).framesWithObjects, 0);
}

INSTANTIATE_TEST_SUITE_P(AsDeliveredAndScaled, RegionAtWidth, ::testing::Values(0, 128));

// A still scene of patches whose contrast steps up at frame 40, as when a
// camera switches to infrared: the bright patches leave the model, the dark
// and middle ones stay in it, so the mask is patchy, not whole.
cv::Mat contrastStep(int frame) {
    static const cv::Mat patches = [] {
        cv::Mat levels(kScene.height / 8, kScene.width / 8, CV_8UC1);
        cv::randu(levels, 20, 220);
        cv::Mat scene;
        cv::resize(levels, scene, kScene, 0, 0, cv::INTER_NEAREST);
        return scene;
    }();
    cv::Mat gray;
    patches.convertTo(gray, CV_8UC1, frame < 40 ? 1.0 : 1.8, frame < 40 ? 0.0 : -0.8 * 128);
    return gray;
}

TEST(LightChange, OfAPatchyMaskStartsTheModelAfreshInsteadOfMakingObjects) {
    Detector plain, ruled;
    quickDetector(plain);
    quickDetector(ruled);
    DetectionStep without(plain);
    DetectionStep with(ruled, DetectionSettings{0, 10.0});
    const Seen motion = run(without, 120, contrastStep);
    EXPECT_GT(motion.framesWithObjects, 0) << "without the rule the step looks like many objects";
    const Seen light = run(with, 120, contrastStep);
    EXPECT_EQ(light.framesWithObjects, 0);
    EXPECT_EQ(light.lightChanges, 1);
}

}  // namespace
}  // namespace tarvolen
