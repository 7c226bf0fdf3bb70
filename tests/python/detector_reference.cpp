// The C++ detector on frames handed over by the Python tests, for comparing
// the Python module's results with it bit for bit.
//
//   detector_reference OBJECTS_OUT MASKS_OUT [KEY=VALUE ...] < frames
//
// Each frame on standard input: a header of four little-endian int32
// (width, height, channels 1 or 3, 1 when a region mask follows), the pixels
// (contiguous, BGR for 3 channels) and the region's bytes. Colour frames are
// converted to gray as the programs convert them. For every frame one line
// goes to OBJECTS_OUT: the frame's number, then x y width height score of
// each confirmed object. Whenever the event mask differs from the one
// before, the frame's number (int64) and the mask's bytes are appended to
// MASKS_OUT. The settings are checked as tarvolen-scan --set checks them.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "config/Configuration.h"
#include "detector/Detector.h"

namespace {

struct FrameHeader {
    std::int32_t width;
    std::int32_t height;
    std::int32_t channels;
    std::int32_t hasRoi;
};

bool readExactly(void* data, std::size_t size) { return std::fread(data, 1, size, stdin) == size; }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: detector_reference OBJECTS_OUT MASKS_OUT [KEY=VALUE ...] < frames\n";
        return 2;
    }
    tarvolen::DetectorParameters parameters;
    for (int i = 3; i < argc; ++i) {
        const std::string setting = argv[i];
        const std::size_t eq = setting.find('=');
        const std::string problem = eq == std::string::npos
                                        ? "expected KEY=VALUE"
                                        : tarvolen::applySetting(parameters, setting.substr(0, eq), setting.substr(eq + 1));
        if (!problem.empty()) {
            std::cerr << "detector_reference: " << setting << ": " << problem << "\n";
            return 2;
        }
    }
    std::ofstream objects(argv[1]);
    std::ofstream masks(argv[2], std::ios::binary);
    tarvolen::Detector detector;
    detector.setParameters(parameters);

    std::vector<unsigned char> previousMask;
    FrameHeader header{};
    for (std::int64_t index = 0; readExactly(&header, sizeof header); ++index) {
        if (header.width < 1 || header.height < 1 || (header.channels != 1 && header.channels != 3)) {
            std::cerr << "detector_reference: bad frame header at frame " << index << "\n";
            return 1;
        }
        const cv::Mat pixels(header.height, header.width, header.channels == 3 ? CV_8UC3 : CV_8UC1);
        cv::Mat roi;
        bool complete = readExactly(pixels.data, pixels.total() * pixels.elemSize());
        if (complete && header.hasRoi) {
            roi.create(header.height, header.width, CV_8UC1);
            complete = readExactly(roi.data, roi.total());
        }
        if (!complete) {
            std::cerr << "detector_reference: frame " << index << " cut short\n";
            return 1;
        }
        cv::Mat gray = pixels;
        if (header.channels == 3) cv::cvtColor(pixels, gray, cv::COLOR_BGR2GRAY);
        detector.process(gray.data, header.width, header.height, roi.empty() ? nullptr : roi.data);

        objects << index;
        for (const tarvolen::ObjectTrack& t : detector.getConfirmedObjects())
            objects << ' ' << t.box.x << ' ' << t.box.y << ' ' << t.box.width << ' ' << t.box.height << ' ' << t.score;
        objects << '\n';

        std::vector<unsigned char> mask(gray.total());
        detector.copyEventMask(mask.data());
        if (mask != previousMask) {
            masks.write(reinterpret_cast<const char*>(&index), sizeof index);
            masks.write(reinterpret_cast<const char*>(mask.data()), static_cast<std::streamsize>(mask.size()));
            previousMask = std::move(mask);
        }
    }
    return objects.good() && masks.good() ? 0 : 1;
}
