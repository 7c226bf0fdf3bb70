// The C++ detector on the frames the Python tests hand it, to compare the
// Python package's results with bit for bit (conftest.py, ReferenceDetector).
//
//   detector_reference OBJECTS_OUT MASKS_OUT [KEY=VALUE ...] < frames
//
// Each frame on standard input: four little-endian int32 (width, height,
// channels 1 or 3, 1 when a region follows), the contiguous pixels (BGR for
// 3 channels, converted to gray as the programs do) and the region's bytes.
// Per frame, a line of OBJECTS_OUT: its number, then x y width height score
// of each confirmed object; whenever the event mask changes, its frame's
// number (int64) and bytes are appended to MASKS_OUT.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "config/Configuration.h"
#include "detector/Detector.h"

namespace {

bool readExactly(void* data, std::size_t size) { return std::fread(data, 1, size, stdin) == size; }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    tarvolen::DetectorParameters parameters;
    for (int i = 3; i < argc; ++i) {
        const std::string setting = argv[i];
        const std::size_t eq = setting.find('=');
        if (eq == std::string::npos ||
            !tarvolen::applySetting(parameters, setting.substr(0, eq), setting.substr(eq + 1)).empty()) {
            std::cerr << "detector_reference: bad setting " << setting << "\n";
            return 2;
        }
    }
    std::ofstream objects(argv[1]);
    std::ofstream masks(argv[2], std::ios::binary);
    tarvolen::Detector detector;
    detector.setParameters(parameters);
    std::vector<unsigned char> previousMask;
    std::int32_t header[4];
    for (std::int64_t index = 0; readExactly(header, sizeof header); ++index) {
        const cv::Mat pixels(header[1], header[0], header[2] == 3 ? CV_8UC3 : CV_8UC1);
        cv::Mat roi(header[3] ? header[1] : 0, header[0], CV_8UC1);
        if (!readExactly(pixels.data, pixels.total() * pixels.elemSize()) ||
            !readExactly(roi.data, roi.total()))
            return 1;
        cv::Mat gray = pixels;
        if (header[2] == 3) cv::cvtColor(pixels, gray, cv::COLOR_BGR2GRAY);
        detector.process(gray.data, gray.cols, gray.rows, roi.empty() ? nullptr : roi.data);

        objects << index;
        for (const tarvolen::ObjectTrack& t : detector.getConfirmedObjects())
            objects << ' ' << t.box.x << ' ' << t.box.y << ' ' << t.box.width << ' ' << t.box.height << ' '
                    << t.score;
        objects << '\n';
        std::vector<unsigned char> mask(gray.total());
        detector.copyEventMask(mask.data());
        if (mask != previousMask) {
            masks.write(reinterpret_cast<const char*>(&index), sizeof index);
            masks.write(reinterpret_cast<const char*>(mask.data()),
                        static_cast<std::streamsize>(mask.size()));
            previousMask = std::move(mask);
        }
    }
    return objects.good() && masks.good() ? 0 : 1;
}
