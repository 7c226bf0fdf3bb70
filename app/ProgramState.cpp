#include "app/ProgramState.h"

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

bool readConfiguration() { return readConfiguration(configFileName, detector, video_source_init_string); }

void roiMouseCallback(int event, int x, int y, int /*flags*/, void* /*userdata*/) {
    // A new region starts the model afresh, as space does.
    if (handleRoiMouseEvent(event, x, y, RoiTarget{roiSelection, roi_mask, frameWidth, frameHeight})) detector.reset();
}

}  // namespace tarvolen
