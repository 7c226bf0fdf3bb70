#include "media/FrameInput.h"

#include <opencv2/imgproc.hpp>

namespace tarvolen {

bool conformFrame(const cv::Mat& captured, cv::Size size, cv::Mat& colour) {
    if (captured.empty() || captured.dims != 2) return false;
    cv::Mat bgr;
    switch (captured.channels()) {
        case 1:
            cv::cvtColor(captured, bgr, cv::COLOR_GRAY2BGR);
            break;
        case 3:
            bgr = captured;
            break;
        case 4:
            cv::cvtColor(captured, bgr, cv::COLOR_BGRA2BGR);
            break;
        default:
            return false;
    }
    if (bgr.depth() != CV_8U) {
        const double scale = bgr.depth() == CV_16U ? 1.0 / 257.0 : 1.0;
        bgr.convertTo(bgr, CV_8U, scale);
    }
    if (bgr.size() == size) {
        bgr.copyTo(colour);
    } else {
        cv::resize(bgr, colour, size, 0, 0, cv::INTER_AREA);
    }
    return true;
}

}  // namespace tarvolen
