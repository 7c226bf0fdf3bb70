#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "Prerequisite.h"
#include "detector/Detector.h"

namespace tarvolen {
namespace {

std::string sampleVideoPath() {
    if (const char* env = std::getenv("TARVOLEN_SAMPLE_VIDEO")) return env;
    return TARVOLEN_SAMPLE_VIDEO;
}

// People walking through a real scene: the detector must flag them, and the
// result must not depend on the number of threads.
TEST(RealFootage, WalkingPeopleGiveEventsAndTracksIndependentOfThreads) {
    const std::string path = sampleVideoPath();
    TARVOLEN_REQUIRE(std::filesystem::exists(path),
                     "sample clip " << path << " is absent; scripts/fetch-sample.sh fetches it");
    cv::VideoCapture capture(path);
    ASSERT_TRUE(capture.isOpened()) << path;

    Detector single, dual;
    for (Detector* d : {&single, &dual}) ASSERT_TRUE(d->setParameter(Detector::kNumFrames, 5));
    ASSERT_TRUE(single.setParameter(Detector::kNumThreads, 1));
    ASSERT_TRUE(dual.setParameter(Detector::kNumThreads, 2));

    constexpr int kFrames = 300;  // 30 s of the clip, 60 model updates
    cv::Mat colour, gray, maskA, maskB;
    int eventFrames = 0, confirmedFrames = 0;
    for (int i = 0; i < kFrames && capture.read(colour); ++i) {
        cv::cvtColor(colour, gray, cv::COLOR_BGR2GRAY);
        maskA.create(gray.size(), CV_8UC1);
        maskB.create(gray.size(), CV_8UC1);
        ASSERT_TRUE(single.process(gray.data, gray.cols, gray.rows, nullptr));
        ASSERT_TRUE(dual.process(gray.data, gray.cols, gray.rows, nullptr));
        ASSERT_TRUE(single.copyEventMask(maskA.data));
        ASSERT_TRUE(dual.copyEventMask(maskB.data));
        ASSERT_EQ(cv::countNonZero(maskA != maskB), 0) << "frame " << i;
        const auto a = single.getConfirmedObjects();
        const auto b = dual.getConfirmedObjects();
        ASSERT_EQ(a.size(), b.size()) << "frame " << i;
        for (std::size_t k = 0; k < a.size(); ++k) {
            ASSERT_EQ(a[k].box, b[k].box);
            ASSERT_EQ(a[k].score, b[k].score);
        }
        eventFrames += cv::countNonZero(maskA) > 0;
        confirmedFrames += !a.empty();
    }
    EXPECT_GT(eventFrames, kFrames / 2);
    EXPECT_GT(confirmedFrames, kFrames / 4);
}

}  // namespace
}  // namespace tarvolen
