// How fast a video file decodes alone with cv::VideoCapture, the bound of the
// live loop on that file.
//   tarvolen_decode_rate FILE [SECONDS]
// Reads frames (rewinding to frame index 1 at the end, as the program does)
// for SECONDS (default 20) and prints "frames seconds frames_per_second".
// SECONDS 0 reads the file once, to its end, as tarvolen-scan does, and
// like the scan's own rate counts opening the file.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <opencv2/videoio.hpp>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: tarvolen_decode_rate FILE [SECONDS]\n");
        return 2;
    }
    const double seconds = argc == 3 ? std::atof(argv[2]) : 20.0;
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
