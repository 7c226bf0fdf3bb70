"""Shared helpers of the Python package's tests: the sample clip's frames as
FFmpeg decodes them, and the C++ detector fed the same frames. run_tests.sh
sets TARVOLEN_BUILD_DIR, TARVOLEN_SAMPLE_VIDEO and TARVOLEN_SOURCE_DIR."""

import json
import os
import pathlib
import struct
import subprocess

import numpy as np
import pytest

SLOWDOWN = float(os.environ.get("TARVOLEN_E2E_SLOWDOWN", "1"))
WIDTH, HEIGHT = 768, 576  # the frames are decoded at this size


def _path(name):
    if not os.environ.get(name):
        pytest.fail(f"{name} is not set: run the tests with tests/python/run_tests.sh BUILD_DIR")
    return pathlib.Path(os.environ[name])


@pytest.fixture(scope="session")
def build_dir():
    return _path("TARVOLEN_BUILD_DIR")


@pytest.fixture(scope="session")
def source_dir():
    return _path("TARVOLEN_SOURCE_DIR")


@pytest.fixture(scope="session")
def sample_video():
    return _path("TARVOLEN_SAMPLE_VIDEO")


def decoded_frames(path, pixel_format, count):
    """The first frames of a video: (H, W) arrays for "gray", (H, W, 3) else."""
    shape = (HEIGHT, WIDTH) if pixel_format == "gray" else (HEIGHT, WIDTH, 3)
    size = int(np.prod(shape))
    with subprocess.Popen(["ffmpeg", "-v", "error", "-i", str(path), "-frames:v", str(count), "-s",
                           f"{WIDTH}x{HEIGHT}", "-f", "rawvideo", "-pix_fmt", pixel_format, "-"],
                          stdout=subprocess.PIPE) as ffmpeg:
        while len(data := ffmpeg.stdout.read(size)) == size:
            yield np.frombuffer(data, np.uint8).reshape(shape)


class DetectorRun:
    """A detector's results frame by frame: the confirmed objects, and each
    new event mask with the number of the frame that made it."""

    def __init__(self):
        self.objects, self.masks = [], []

    def add(self, objects, mask):
        self.objects.append([tuple(o) for o in objects])
        if not self.masks or not np.array_equal(self.masks[-1][1], mask):
            self.masks.append((len(self.objects) - 1, mask.copy()))

    def assert_same_as(self, other):
        assert self.objects == other.objects, "the objects differ"
        assert [i for i, _ in self.masks] == [i for i, _ in other.masks], "the masks changed at other frames"
        for (index, mine), (_, theirs) in zip(self.masks, other.masks):
            assert np.array_equal(mine, theirs), f"the masks differ at frame {index}"


class ReferenceDetector:
    """tests/python/detector_reference.cpp, fed the frames as contiguous bytes."""

    def __init__(self, build_dir, work_dir, settings):
        self.outputs = work_dir / "objects.txt", work_dir / "masks.bin"
        self.sizes = []
        self.child = subprocess.Popen(
            [str(build_dir / "tests" / "detector_reference"), *map(str, self.outputs),
             *(f"{key}={json.dumps(value)}" for key, value in settings.items())], stdin=subprocess.PIPE)

    def process_frame(self, frame, roi=None):
        pixels = np.ascontiguousarray(frame)
        self.child.stdin.write(struct.pack("<4i", pixels.shape[1], pixels.shape[0], 1 if pixels.ndim == 2 else 3,
                                           roi is not None) + pixels.tobytes())
        if roi is not None:
            self.child.stdin.write(np.ascontiguousarray(roi).tobytes())
        self.sizes.append(pixels.shape[:2])

    def finish(self):
        self.child.stdin.close()
        assert self.child.wait() == 0, "detector_reference failed"
        run = DetectorRun()
        for line in self.outputs[0].read_text().splitlines():
            numbers = [int(n) for n in line.split()]
            run.objects.append([tuple(numbers[i:i + 5]) for i in range(1, len(numbers), 5)])
        data, offset = self.outputs[1].read_bytes(), 0
        while offset < len(data):
            (index,) = struct.unpack_from("<q", data, offset)
            shape = self.sizes[index]
            run.masks.append((index, np.frombuffer(data, np.uint8, shape[0] * shape[1], offset + 8).reshape(shape)))
            offset += 8 + shape[0] * shape[1]
        return run


@pytest.fixture
def reference(build_dir, tmp_path):
    """Makes a ReferenceDetector with the given settings."""
    return lambda settings: ReferenceDetector(build_dir, tmp_path, settings)
