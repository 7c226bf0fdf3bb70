// Writes a small synthetic test clip: a dark static background with two
// bright squares moving across its left and right halves.
//   make_clip OUT.avi WIDTH HEIGHT FPS FRAMES
#include <cstdlib>
#include <iostream>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

int main(int argc, char** argv) {
    if (argc != 6) {
        std::cerr << "usage: make_clip OUT.avi WIDTH HEIGHT FPS FRAMES\n";
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
        const int travel = w / 2 - side;
        const int x = (i * 4) % std::max(1, travel);
        cv::rectangle(frame, cv::Rect(x, h / 4, side, side), cv::Scalar(230, 230, 230), cv::FILLED);
        cv::rectangle(frame, cv::Rect(w / 2 + x, h * 2 / 3, side, side), cv::Scalar(230, 230, 230),
                      cv::FILLED);
        out.write(frame);
    }
    return 0;
}
