// The compiled part of the Python package tarvolen; tarvolen/__init__.py
// presents it.
#include <pybind11/pybind11.h>

#include "scan/python/PythonDetector.h"
#include "scan/python/PythonScan.h"

PYBIND11_MODULE(_tarvolen, module) {
    module.doc() = "The Tarvolen event detector and file scan (see the package tarvolen).";
    module.attr("__version__") = TARVOLEN_VERSION;
    tarvolen::bindDetector(module);
    tarvolen::bindScan(module);
}
