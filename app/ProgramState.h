// The program-wide objects of the tarvolen application. They are defined in
// one translation unit, so they are constructed in the order listed and
// destroyed in reverse after main returns.
#pragma once

#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "detector/Detector.h"
#include "roi/RoiSelection.h"

namespace tarvolen {

extern const std::string configFileName;  // "Tarvolen.json" in the working directory
extern cv::VideoCapture videoCapture;
extern std::string video_source_init_string;
extern Detector detector;
extern cv::Mat roi_mask;
extern RoiSelection roiSelection;
extern int frameWidth;
extern int frameHeight;

// Reads configFileName into video_source_init_string and the detector; on
// failure neither changes.
bool readConfiguration();

// HighGUI mouse callback of "INPUT VIDEO": drives the region-of-interest
// selection on the program-wide objects.
void roiMouseCallback(int event, int x, int y, int flags, void* userdata);

}  // namespace tarvolen
