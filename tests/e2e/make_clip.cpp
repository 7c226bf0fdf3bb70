// Writes a small synthetic test clip: a dark static background with two
// bright squares moving across its left and right halves.
//   make_clip OUT.avi WIDTH HEIGHT FPS FRAMES [BURSTS]
// BURSTS, e.g. "40-54,140-154", limits the squares to those frame ranges
// (inclusive); the other frames show the background alone.
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace {

using Bursts = std::vector<std::pair<int, int>>;

bool parseBursts(const std::string& text, Bursts& bursts) {
    std::istringstream in(text);
    for (std::string range; std::getline(in, range, ',');) {
        int first = 0, last = 0;
        char dash = 0;
        std::istringstream r(range);
        if (!(r >> first >> dash >> last) || dash != '-' || first > last) return false;
        bursts.emplace_back(first, last);
    }
    return !bursts.empty();
}

bool squaresShown(const Bursts& bursts, int frame) {
    if (bursts.empty()) return true;
    for (const auto& [first, last] : bursts)
        if (frame >= first && frame <= last) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    Bursts bursts;
    if ((argc != 6 && argc != 7) || (argc == 7 && !parseBursts(argv[6], bursts))) {
        std::cerr << "usage: make_clip OUT.avi WIDTH HEIGHT FPS FRAMES [FIRST-LAST,...]\n";
        return 2;
    }
    const int w = std::atoi(argv[2]), h = std::atoi(argv[3]), frames = std::atoi(argv[5]);
    const double fps = std::atof(argv[4]);
    cv::VideoWriter out(argv[1], cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), fps, cv::Size(w, h), true);
    if (!out.isOpened()) {
        std::cerr << "make_clip: cannot write " << argv[1] << "\n";
        return 1;
    }
    const int side = std::max(8, h / 10);
    for (int i = 0; i < frames; ++i) {
        cv::Mat frame(h, w, CV_8UC3, cv::Scalar(50, 50, 50));
        if (squaresShown(bursts, i)) {
            const int travel = w / 2 - side;
            const int x = (i * 4) % std::max(1, travel);
            cv::rectangle(frame, cv::Rect(x, h / 4, side, side), cv::Scalar(230, 230, 230), cv::FILLED);
            cv::rectangle(frame, cv::Rect(w / 2 + x, h * 2 / 3, side, side), cv::Scalar(230, 230, 230),
                          cv::FILLED);
        }
        out.write(frame);
    }
    return 0;
}
