// The detection step the three programs share.
#include <cstdlib>
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

const cv::Size kScene(320, 240);

// A model update every 5 frames keeps the cases short.
void quick(Detector& detector) { ASSERT_TRUE(detector.setParameter(Detector::kNumFrames, 5)); }

// With a region and without, on the sample clip's people walking.
class StepOnSample : public ::testing::TestWithParam<bool> {};

TEST_P(StepOnSample, IsTheDetectorFedTheFramesGray) {
    const char* env = std::getenv("TARVOLEN_SAMPLE_VIDEO");
    cv::VideoCapture capture(env != nullptr ? env : TARVOLEN_SAMPLE_VIDEO);
    TARVOLEN_REQUIRE(capture.isOpened(), "the sample clip is absent; scripts/fetch-sample.sh fetches it");
    Detector direct, stepped;
    quick(direct);
    quick(stepped);
    DetectionStep step(stepped);
    cv::Mat colour, gray, directMask, stepMask;
    ASSERT_TRUE(capture.read(colour));
    // What the programs passed the detector so far: the region, or the whole frame.
    cv::Mat region(colour.size(), CV_8UC1, cv::Scalar(GetParam() ? 0 : 255));
    if (GetParam()) region(cv::Rect(0, 300, 768, 276)).setTo(255);
    step.setRegion(GetParam() ? region : cv::Mat());
    int confirmedFrames = 0;
    for (int i = 0; i < 120 && capture.read(colour); ++i) {
        cv::cvtColor(colour, gray, cv::COLOR_BGR2GRAY);
        ASSERT_TRUE(direct.process(gray.data, gray.cols, gray.rows, region.data));
        const Detection detection = step.process(colour);
        directMask.create(gray.size(), CV_8UC1);
        direct.copyEventMask(directMask.data);
        step.copyEventMask(gray.size(), stepMask);
        ASSERT_EQ(cv::countNonZero(directMask != stepMask), 0) << "frame " << i;
        const std::vector<ObjectTrack> expected = direct.getConfirmedObjects();
        ASSERT_EQ(detection.objects.size(), expected.size()) << "frame " << i;
        for (std::size_t k = 0; k < expected.size(); ++k)
            ASSERT_TRUE(detection.objects[k].box == expected[k].box &&
                        detection.objects[k].score == expected[k].score);
        confirmedFrames += !expected.empty();
    }
    EXPECT_GT(confirmedFrames, 30);
}

INSTANTIATE_TEST_SUITE_P(WholeFrameAndRegion, StepOnSample, ::testing::Bool());

// A detected pixel averages the delivered pixels under it: a box brought back
// covers all of them, and no more than the pixels they touch.
TEST(DetectionStepBoxes, BroughtBackCoverEveryPixelTheirObjectWasAveragedFrom) {
    const std::pair<cv::Size, cv::Size> sizes[] = {{{640, 360}, {1920, 1080}},
                                                   {{640, 480}, {1280, 720}},
                                                   {{100, 75}, {333, 250}},
                                                   {{16, 9}, {7680, 4320}}};
    std::mt19937 random(7);
    for (const auto& [detected, delivered] : sizes) {
        const double sx = static_cast<double>(delivered.width) / detected.width;
        const double sy = static_cast<double>(delivered.height) / detected.height;
        for (int i = 0; i < 200; ++i) {
            const int x = static_cast<int>(random() % detected.width),
                      y = static_cast<int>(random() % detected.height);
            const cv::Rect box(x, y, 1 + static_cast<int>(random() % (detected.width - x)),
                               1 + static_cast<int>(random() % (detected.height - y)));
            const cv::Rect back = DetectionStep::toDelivered(box, detected, delivered);
            const double left = box.x * sx, right = box.br().x * sx, top = box.y * sy,
                         bottom = box.br().y * sy;
            EXPECT_TRUE(back.x <= left && back.x > left - 1 && back.br().x >= right &&
                        back.br().x < right + 1 && back.y <= top && back.y > top - 1 &&
                        back.br().y >= bottom && back.br().y < bottom + 1)
                << box << " of " << detected << " came back as " << back << " in " << delivered;
        }
    }
    EXPECT_EQ(detectionSize(cv::Size(1920, 1080), 640), cv::Size(640, 360));
    EXPECT_EQ(detectionSize(cv::Size(768, 576), 100), cv::Size(100, 75));  // 75 exactly
    EXPECT_EQ(detectionSize(cv::Size(1000, 3), 16), cv::Size(16, 1));      // never below a row
}

struct Seen {
    int framesWithObjects = 0;
    int lightChanges = 0;
};

template <typename Scene>
Seen run(DetectionStep& step, int frames, Scene scene) {
    Seen seen;
    for (int i = 0; i < frames; ++i) {
        const Detection detection = step.process(scene(i));
        seen.framesWithObjects += !detection.objects.empty();
        seen.lightChanges += detection.lightChangePercent.has_value();
    }
    return seen;
}

// A dark scene with a bright square going to and fro across its right half.
cv::Mat movingSquare(int frame) {
    cv::Mat picture(kScene, CV_8UC3, cv::Scalar::all(50));
    cv::rectangle(picture, cv::Rect(180 + (frame * 6) % 100, 100, 24, 24), cv::Scalar::all(230), cv::FILLED);
    return picture;
}

class RegionAtWidth : public ::testing::TestWithParam<int> {};

TEST_P(RegionAtWidth, LeavesTheMotionOutsideItOut) {
    Detector open, limited;
    quick(open);
    quick(limited);
    DetectionStep whole(open, DetectionSettings{GetParam(), 0});
    DetectionStep left(limited, DetectionSettings{GetParam(), 0});
    cv::Mat region = cv::Mat::zeros(kScene, CV_8UC1);
    region.colRange(0, 160).setTo(255);
    left.setRegion(region);
    EXPECT_GT(run(whole, 100, movingSquare).framesWithObjects, 20);
    EXPECT_EQ(run(left, 100, movingSquare).framesWithObjects, 0);
}

INSTANTIATE_TEST_SUITE_P(AsDeliveredAndScaled, RegionAtWidth, ::testing::Values(0, 128));

// A still scene of patches whose contrast steps up at frame 40, as when a
// camera switches to infrared: the bright patches leave the model, the dark
// and middle ones stay, so the mask is patchy, not whole.
cv::Mat contrastStep(int frame) {
    static const cv::Mat patches = [] {
        cv::Mat levels(kScene.height / 8, kScene.width / 8, CV_8UC1), scene;
        cv::randu(levels, 20, 220);
        cv::resize(levels, scene, kScene, 0, 0, cv::INTER_NEAREST);
        return scene;
    }();
    cv::Mat gray;
    patches.convertTo(gray, CV_8UC1, frame < 40 ? 1.0 : 1.8, frame < 40 ? 0.0 : -0.8 * 128);
    return gray;
}

TEST(LightChange, OfAPatchyMaskStartsTheModelAfreshInsteadOfMakingObjects) {
    Detector plain, ruled;
    quick(plain);
    quick(ruled);
    DetectionStep without(plain);
    DetectionStep with(ruled, DetectionSettings{0, 10.0});
    EXPECT_GT(run(without, 120, contrastStep).framesWithObjects, 0) << "without the rule: many objects";
    const Seen light = run(with, 120, contrastStep);
    EXPECT_EQ(light.framesWithObjects, 0);
    EXPECT_EQ(light.lightChanges, 1);
}

}  // namespace
}  // namespace tarvolen
