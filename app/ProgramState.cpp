#include "app/ProgramState.h"

#include <utility>

#include "config/Configuration.h"

namespace tarvolen {

const std::string configFileName = "Tarvolen.json";
cv::VideoCapture videoCapture;
std::string video_source_init_string;
Detector detector;
cv::Mat roi_mask;
RoiSelection roiSelection;
int frameWidth = 0;
int frameHeight = 0;

bool readConfiguration() {
    // Read over the detector's current values, so that a value the file gives
    // out of range keeps the one the detector has.
    Configuration config{video_source_init_string, detector.parameters()};
    if (!readConfiguration(configFileName, config)) return false;
    // Each field is either the detector's own or one that passed the range
    // check, so the set is accepted whole; the fields are independent, so
    // taking them at once is the same as the file's order.
    if (!detector.setParameters(config.detector)) return false;
    video_source_init_string = std::move(config.videoSource);
    return true;
}

void roiMouseCallback(int event, int x, int y, int /*flags*/, void* /*userdata*/) {
    // A new region starts the model afresh, as space does.
    if (handleRoiMouseEvent(event, x, y, RoiTarget{roiSelection, roi_mask, frameWidth, frameHeight})) detector.reset();
}

}  // namespace tarvolen
