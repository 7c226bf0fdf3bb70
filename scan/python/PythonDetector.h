// tarvolen.Detector: the detector on NumPy frames, run without the
// interpreter lock.
#pragma once

#include <pybind11/pybind11.h>

namespace tarvolen {

// Adds Detector and its result type Object to the module.
void bindDetector(pybind11::module_& module);

}  // namespace tarvolen
