// How fast a video file decodes alone with cv::VideoCapture, the bound of the
// live loop on that file; or, with "libav", through FFmpeg's libraries as
// tarvolen-scan reads it (to BGR, as the scan gets it).
//   tarvolen_decode_rate FILE [SECONDS [libav]]
// Reads frames (rewinding to frame index 1 at the end, as the program does)
// for SECONDS (default 20) and prints "frames seconds frames_per_second".
// SECONDS 0 reads the file once, to its end, as tarvolen-scan does, and
// like the scan's own rate counts opening the file.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <memory>
#include <string>

#include <opencv2/videoio.hpp>

#include "media/VideoFile.h"

namespace {

// One pass through the file as the scan reads it.
int decodeWithLibav(const char* path) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    tarvolen::VideoFile::quietenLibraryLog();
    std::string why;
    const std::unique_ptr<tarvolen::VideoFile> file = tarvolen::VideoFile::open(path, why);
    if (!file) {
        std::fprintf(stderr, "tarvolen_decode_rate: cannot open %s: %s\n", path, why.c_str());
        return 1;
    }
    tarvolen::VideoFrame frame;
    long frames = 0;
    while (file->read(frame)) ++frames;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%ld %.3f %.2f\n", frames, elapsed, frames / elapsed);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: tarvolen_decode_rate FILE [SECONDS [libav]]\n");
        return 2;
    }
    if (argc == 4 && std::string(argv[3]) == "libav") return decodeWithLibav(argv[1]);
    const double seconds = argc >= 3 ? std::atof(argv[2]) : 20.0;
    const bool onePass = seconds == 0.0;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point opening = Clock::now();
    cv::VideoCapture capture(argv[1]);
    if (!capture.isOpened()) {
        std::fprintf(stderr, "tarvolen_decode_rate: cannot open %s\n", argv[1]);
        return 1;
    }
    const Clock::time_point start = onePass ? opening : Clock::now();
    const Clock::time_point end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    cv::Mat frame;
    long frames = 0;
    while (onePass || Clock::now() < end) {
        if (!capture.read(frame)) {
            if (onePass) break;
            capture.set(cv::CAP_PROP_POS_FRAMES, 1.0);
            continue;
        }
        ++frames;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%ld %.3f %.2f\n", frames, elapsed, frames / elapsed);
    return 0;
}
