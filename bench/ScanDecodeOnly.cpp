// The speed a scan is measured against: decoding a file with
// cv::VideoCapture and nothing else.
//   tarvolen_decode_only FILE
// Prints "FRAMES frames in SECONDS s: RATE frames/s".
#include <chrono>
#include <cstdio>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>

#include "scan/FrameDecoder.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tarvolen_decode_only FILE\n");
        return 2;
    }
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    const auto start = std::chrono::steady_clock::now();
    cv::VideoCapture capture;
    // The scan's own way of opening a file, so both use the same back end.
    if (!tarvolen::openVideoFile(argv[1], capture)) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    cv::Mat frame;
    long long frames = 0;
    while (capture.read(frame)) ++frames;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%lld frames in %.3f s: %.1f frames/s\n", frames, seconds, frames / seconds);
    return 0;
}
