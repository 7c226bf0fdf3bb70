// Checks on screenshots and recordings for the end-to-end tests.
//   inspect_image find-cyan IMAGE
//       prints "x y" of the first pure cyan pixel (row by row), exit 1 if none
//   inspect_image mask-outside IMAGE X Y W H RX0 RY0 RX1 RY1
//       in the region (X,Y,W,H) of IMAGE, prints the number of non-black
//       pixels outside and inside the inclusive rectangle (RX0,RY0)-(RX1,RY1)
//       relative to the region
//   inspect_image red-pixels IMAGE_OR_VIDEO X Y W H
//       prints the number of clearly red pixels in that rectangle (of the
//       last frame, for a video)
//   inspect_image yellow-pixels IMAGE_OR_VIDEO X Y W H
//       the same for clearly yellow pixels
//   inspect_image bright-pixels IMAGE_OR_VIDEO X Y W H
//       the same for near-white pixels
//   inspect_image cyan-outline VIDEO RX0 RY0 RX1 RY1
//       exit 0 when the last frame shows a cyan outline on that rectangle
#include <cstdlib>
#include <iostream>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace {

cv::Mat load(const std::string& path) {
    cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
    if (!image.empty()) return image;
    cv::VideoCapture video(path);
    cv::Mat frame, last;
    while (video.read(frame)) frame.copyTo(last);
    return last;
}

int arg(char** argv, int i) { return std::atoi(argv[i]); }

int findCyan(const cv::Mat& img) {
    for (int y = 0; y < img.rows; ++y)
        for (int x = 0; x < img.cols; ++x)
            if (img.at<cv::Vec3b>(y, x) == cv::Vec3b(255, 255, 0)) {
                std::cout << x << " " << y << "\n";
                return 0;
            }
    return 1;
}

int maskOutside(const cv::Mat& img, cv::Rect region, cv::Rect inside) {
    const cv::Mat view = img(region);
    int outsideCount = 0, insideCount = 0;
    for (int y = 0; y < view.rows; ++y)
        for (int x = 0; x < view.cols; ++x) {
            const cv::Vec3b p = view.at<cv::Vec3b>(y, x);
            if (p[0] == 0 && p[1] == 0 && p[2] == 0) continue;
            (inside.contains(cv::Point(x, y)) ? insideCount : outsideCount)++;
        }
    std::cout << outsideCount << " " << insideCount << "\n";
    return 0;
}

template <typename Test>
int countPixels(const cv::Mat& img, cv::Rect r, Test matches) {
    int n = 0;
    const cv::Mat view = img(r & cv::Rect(0, 0, img.cols, img.rows));
    for (int y = 0; y < view.rows; ++y)
        for (int x = 0; x < view.cols; ++x) n += matches(view.at<cv::Vec3b>(y, x));
    std::cout << n << "\n";
    return 0;
}

int redPixels(const cv::Mat& img, cv::Rect r) {
    return countPixels(img, r, [](const cv::Vec3b& p) { return p[2] > 150 && p[1] < 90 && p[0] < 90; });
}

// Lossy compression blurs a one-pixel line, so compare the outline's colour
// with pixels three pixels inside it rather than expecting exact cyan.
int cyanOutline(const cv::Mat& img, int x0, int y0, int x1, int y1) {
    auto cyanness = [&img](int x, int y) {
        const cv::Vec3b p = img.at<cv::Vec3b>(y, x);
        return (static_cast<double>(p[0]) + p[1]) / 2.0 - p[2];
    };
    double onLine = 0, inside = 0;
    int n = 0;
    for (int x = x0 + 3; x <= x1 - 3; ++x, ++n) {
        onLine += cyanness(x, y0) + cyanness(x, y1);
        inside += cyanness(x, y0 + 3) + cyanness(x, y1 - 3);
    }
    for (int y = y0 + 3; y <= y1 - 3; ++y, ++n) {
        onLine += cyanness(x0, y) + cyanness(x1, y);
        inside += cyanness(x0 + 3, y) + cyanness(x1 - 3, y);
    }
    onLine /= 2.0 * n;
    inside /= 2.0 * n;
    std::cout << "outline " << onLine << " inside " << inside << "\n";
    return onLine > 60.0 && inside < 20.0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: inspect_image COMMAND FILE ...\n";
        return 2;
    }
    const std::string command = argv[1];
    const cv::Mat img = load(argv[2]);
    if (img.empty()) {
        std::cerr << "inspect_image: cannot read " << argv[2] << "\n";
        return 2;
    }
    if (command == "find-cyan") return findCyan(img);
    if (command == "mask-outside" && argc == 11) {
        const cv::Rect region(arg(argv, 3), arg(argv, 4), arg(argv, 5), arg(argv, 6));
        const cv::Rect inside(arg(argv, 7), arg(argv, 8), arg(argv, 9) - arg(argv, 7) + 1,
                              arg(argv, 10) - arg(argv, 8) + 1);
        return maskOutside(img, region, inside);
    }
    if (command == "red-pixels" && argc == 7)
        return redPixels(img, cv::Rect(arg(argv, 3), arg(argv, 4), arg(argv, 5), arg(argv, 6)));
    if (command == "yellow-pixels" && argc == 7)
        return countPixels(img, cv::Rect(arg(argv, 3), arg(argv, 4), arg(argv, 5), arg(argv, 6)),
                           [](const cv::Vec3b& p) { return p[2] > 150 && p[1] > 150 && p[0] < 90; });
    if (command == "bright-pixels" && argc == 7)
        return countPixels(img, cv::Rect(arg(argv, 3), arg(argv, 4), arg(argv, 5), arg(argv, 6)),
                           [](const cv::Vec3b& p) { return p[2] > 180 && p[1] > 180 && p[0] > 180; });
    if (command == "cyan-outline" && argc == 7)
        return cyanOutline(img, arg(argv, 3), arg(argv, 4), arg(argv, 5), arg(argv, 6));
    std::cerr << "inspect_image: bad command\n";
    return 2;
}
