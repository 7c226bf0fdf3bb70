// Reading Tarvolen.json: the video source and the detector's parameters.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "detector/DetectorParameters.h"

namespace tarvolen {

// What Tarvolen.json sets: the video source and the detector's parameters.
struct Configuration {
    std::string videoSource;
    DetectorParameters detector;
};

// Reads the configuration file `fileName` over the values already in
// `config` (the caller's current or default ones). On success stores the
// source and sets the nine numeric values through DetectorParameters::set()
// in the file's order (a refused value silently keeps what config held) and
// returns true. Returns false for a missing, unreadable, oversized or
// malformed file, a missing key or a value of the wrong type; then config
// has not changed. Writes nothing to any stream.
bool readConfiguration(const std::string& fileName, Configuration& config);

// Applies one of the nine detector settings given as text, e.g. from a
// command line: valueText is parsed as a JSON value and taken with the same
// type and narrowing rules as the file. Unlike the file, a value out of its
// range is an error. Returns an empty string when the value was applied, else
// what is wrong with it (without the key); then nothing changed.
std::string applySetting(DetectorParameters& parameters, const std::string& key,
                         const std::string& valueText);

// A setting's value that arrives already typed (a Python argument) rather
// than as JSON text: true/false, a whole number or another number, as a JSON
// reader would hold it.
using SettingValue = std::variant<bool, std::int64_t, double>;

// What can be wrong with a setting, by kind, for callers that report the
// kinds differently (Python raises TypeError for a type, ValueError else).
enum class SettingFault { None, UnknownKey, NotJson, WrongType, OutOfRange };

// The same checks as applySetting() for a typed value: the same type rules
// and narrowing, and a value out of range is refused. Nothing changes unless
// None is returned.
SettingFault applySettingValue(DetectorParameters& parameters, const std::string& key,
                               const SettingValue& value);

// Whether `key` names one of the nine detector settings.
bool isDetectorSetting(const std::string& key);

// A fault as applySetting() words it (without the key).
std::string settingFaultText(SettingFault fault, const std::string& key);

// The nine detector settings under their keys, in the file's order, with
// the values `parameters` hold.
std::vector<std::pair<std::string, double>> detectorSettings(const DetectorParameters& parameters);

// The same for the bytes of a configuration file: one JSON document, an
// optional UTF-8 byte-order mark before it and only white space after it.
bool parseConfiguration(std::string_view text, Configuration& config);

}  // namespace tarvolen
