// Reading Tarvolen.json: the video source and the detector's parameters.
#pragma once

#include <string>

#include "detector/Detector.h"

namespace tarvolen {

// Reads the configuration file `fileName`. On success stores the source into
// videoSource, hands the nine numeric settings to detector.setParameter()
// (a refused value silently keeps the detector's default) and returns true.
// Returns false for a missing, unreadable or malformed file, a missing key or
// a value of the wrong type; then no parameter has been applied. Writes
// nothing to any stream.
bool readConfiguration(const std::string& fileName, Detector& detector, std::string& videoSource);

}  // namespace tarvolen
