"""Builds the Python package tarvolen through the project's CMake build.

The compiled module links the same static libraries as the programs (one
detector, one scan), so CMake builds it: target tarvolen_python, with
TARVOLEN_BUILD_PYTHON on. The build folder is build-python/ in the checkout,
kept between installs so that a second install compiles only what changed;
TARVOLEN_BUILD_DIR names another (an existing build of the project, whose
libraries are then reused). CMAKE_BUILD_PARALLEL_LEVEL sets the jobs.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent
PACKAGE_SOURCE = "scan/python"
DEFAULT_BUILD_DIR = ROOT / "build-python" / "cmake"


def project_version():
    """The version of the project, as CMakeLists.txt states it."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(Tarvolen VERSION ([0-9.]+)", text).group(1)


def cached(build_dir, name):
    """A variable of a CMake build folder's cache, or None."""
    cache = build_dir / "CMakeCache.txt"
    if not cache.is_file():
        return None
    for line in cache.read_text(encoding="utf-8", errors="replace").splitlines():
        if line.startswith(name + ":"):
            return line.split("=", 1)[1]
    return None


class CMakeBuild(build_ext):
    """Builds the module with CMake and puts it where setuptools expects it."""

    def build_extension(self, ext):
        given = os.environ.get("TARVOLEN_BUILD_DIR")
        build_dir = pathlib.Path(given).resolve() if given else DEFAULT_BUILD_DIR
        # The interpreter that runs this build is the one the module is for.
        interpreter = os.path.realpath(sys.executable)
        ready = ((cached(build_dir, "TARVOLEN_BUILD_PYTHON") or "").upper() in ("ON", "TRUE", "YES", "1")
                 and os.path.realpath(cached(build_dir, "Python3_EXECUTABLE") or "") == interpreter)
        # A build folder set up for the module and this interpreter is left
        # as it is (its other users may be reading it); any other is set up.
        if not ready:
            configure = ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-DTARVOLEN_BUILD_PYTHON=ON",
                         f"-DPython3_EXECUTABLE={interpreter}"]
            if not given:
                # Only the module and its libraries: no programs that need Qt, no tests.
                configure += ["-DCMAKE_BUILD_TYPE=Release", "-DTARVOLEN_BUILD_APP=OFF",
                              "-DTARVOLEN_BUILD_TESTS=OFF", "-DTARVOLEN_BUILD_BENCH=OFF"]
            subprocess.run(configure, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "tarvolen_python", "-j", jobs], check=True)
        built = sorted((build_dir / "python" / "tarvolen").glob("_tarvolen*.so"), key=lambda p: p.stat().st_mtime)
        if not built:
            sys.exit(f"setup.py: the build left no module in {build_dir / 'python' / 'tarvolen'}")
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[-1], target)


setup(
    version=project_version(),
    packages=["tarvolen"],
    package_dir={"": PACKAGE_SOURCE},
    package_data={"tarvolen": ["__init__.pyi", "py.typed"]},
    ext_modules=[Extension("tarvolen._tarvolen", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    # setuptools' own build folders beside CMake's, not in build/.
    options={"build": {"build_base": str(ROOT / "build-python" / "setuptools")},
             "egg_info": {"egg_base": str(ROOT / "build-python")}},
    zip_safe=False,
)
