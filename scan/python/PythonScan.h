// tarvolen.scan(): the events of one video file, found by the scan tool's
// own implementation and handed over as dicts.
#pragma once

#include <pybind11/pybind11.h>

namespace tarvolen {

// Adds scan() to the module.
void bindScan(pybind11::module_& module);

}  // namespace tarvolen
