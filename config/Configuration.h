// Reading Tarvolen.json: the video source and the detector's parameters.
#pragma once

#include <string>
#include <string_view>

#include "detector/Detector.h"

namespace tarvolen {

// Reads the configuration file `fileName`. On success stores the source into
// videoSource, hands the nine numeric settings to detector.setParameter()
// (a refused value silently keeps the detector's default) and returns true.
// Returns false for a missing, unreadable, oversized or malformed file, a
// missing key or a value of the wrong type; then neither a parameter nor
// videoSource has changed. Writes nothing to any stream.
bool readConfiguration(const std::string& fileName, Detector& detector, std::string& videoSource);

// Applies one of the nine detector settings given as text, e.g. from a
// command line: valueText is parsed as a JSON value and taken with the same
// type and narrowing rules as the file. Unlike the file, a value the
// detector refuses is an error. Returns an empty string when the value was
// applied, else what is wrong with it (without the key); then nothing changed.
std::string applySetting(Detector& detector, const std::string& key, const std::string& valueText);

// The same for the bytes of a configuration file: one JSON document, an
// optional UTF-8 byte-order mark before it and only white space after it.
bool parseConfiguration(std::string_view text, Detector& detector, std::string& videoSource);

}  // namespace tarvolen
