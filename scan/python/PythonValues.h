// Values crossing between Python and the project: detector settings given as
// Python numbers, and JSON objects handed to Python as dicts.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include <nlohmann/json.hpp>

#include "detector/DetectorParameters.h"

namespace tarvolen {

// Applies each key and value of `settings` (a dict, or keyword arguments)
// with the checks of tarvolen-scan --set: Python's True/False, integers
// (NumPy's too) and real numbers are the JSON file's booleans and numbers.
// A key that names no setting, or a value out of its range, raises
// ValueError; a value of the wrong type raises TypeError. Each message names
// the key. On an error `parameters` may hold the settings before the bad one.
void applyPythonSettings(DetectorParameters& parameters, const pybind11::dict& settings);

// The nine settings under their keys, in the configuration file's order:
// whole-number settings as int, the others as the float their single
// precision value reads as.
pybind11::dict settingsDict(const DetectorParameters& parameters);

// Text that may not be UTF-8 (a file's name), readable all the same: bytes
// that are not UTF-8 become U+FFFD.
pybind11::object pythonText(const std::string& text);

// A JSON value as the Python value json.loads() gives for its text: dicts
// keep the key order, and bytes that are not UTF-8 in a string become U+FFFD
// (as the JSON lines write them).
pybind11::object pythonValue(const nlohmann::ordered_json& value);

}  // namespace tarvolen
