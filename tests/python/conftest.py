"""Shared helpers of the Python module's tests: the build, the sample clip,
its frames as FFmpeg decodes them, and the C++ detector fed the same frames.

run_tests.sh sets TARVOLEN_BUILD_DIR (a build with the programs and
detector_reference), TARVOLEN_SAMPLE_VIDEO and TARVOLEN_SOURCE_DIR.
"""

import json
import os
import pathlib
import struct
import subprocess

import numpy as np
import pytest


def _environment_path(name):
    value = os.environ.get(name)
    if not value:
        pytest.fail(f"{name} is not set: run the tests with tests/python/run_tests.sh BUILD_DIR")
    return pathlib.Path(value)


@pytest.fixture(scope="session")
def build_dir():
    return _environment_path("TARVOLEN_BUILD_DIR")


@pytest.fixture(scope="session")
def source_dir():
    return _environment_path("TARVOLEN_SOURCE_DIR")


@pytest.fixture(scope="session")
def sample_video():
    return _environment_path("TARVOLEN_SAMPLE_VIDEO")


def frame_size(path):
    """(width, height) of a video's first stream, as ffprobe reports it."""
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "stream=width,height",
         "-of", "json", str(path)], check=True, capture_output=True, text=True).stdout
    stream = json.loads(out)["streams"][0]
    return stream["width"], stream["height"]


def decoded_frames(path, pixel_format, count):
    """The first `count` frames of a video as FFmpeg decodes them: (H, W)
    arrays for "gray", (H, W, 3) for "bgr24" and "rgb24"."""
    width, height = frame_size(path)
    channels = 1 if pixel_format == "gray" else 3
    shape = (height, width) if channels == 1 else (height, width, 3)
    frame_bytes = width * height * channels
    with subprocess.Popen(
            ["ffmpeg", "-v", "error", "-i", str(path), "-frames:v", str(count), "-f", "rawvideo",
             "-pix_fmt", pixel_format, "-"], stdout=subprocess.PIPE) as ffmpeg:
        while True:
            data = ffmpeg.stdout.read(frame_bytes)
            if len(data) < frame_bytes:
                break
            yield np.frombuffer(data, dtype=np.uint8).reshape(shape)
    assert ffmpeg.returncode == 0, f"ffmpeg could not decode {path}"


class DetectorRun:
    """What a detector gave frame by frame: the confirmed objects of each
    frame as (x, y, width, height, score) tuples, and each new event mask
    with the number of the frame that made it."""

    def __init__(self):
        self.objects = []
        self.masks = []

    def add(self, objects, mask):
        self.objects.append([tuple(o) for o in objects])
        last = self.masks[-1][1] if self.masks else None
        if last is None or last.shape != mask.shape or not np.array_equal(last, mask):
            self.masks.append((len(self.objects) - 1, mask.copy()))

    def assert_same_as(self, other):
        assert len(self.objects) == len(other.objects)
        for index, (mine, theirs) in enumerate(zip(self.objects, other.objects)):
            assert mine == theirs, f"objects differ at frame {index}"
        assert [i for i, _ in self.masks] == [i for i, _ in other.masks], "the masks changed at other frames"
        for (index, mine), (_, theirs) in zip(self.masks, other.masks):
            assert mine.shape == theirs.shape and np.array_equal(mine, theirs), f"masks differ at frame {index}"


class ReferenceDetector:
    """The C++ detector (tests/python/detector_reference.cpp) fed the frames
    the Python detector gets, as contiguous bytes."""

    def __init__(self, build_dir, work_dir, settings):
        self.objects_path = work_dir / "reference_objects.txt"
        self.masks_path = work_dir / "reference_masks.bin"
        arguments = [f"{key}={json.dumps(value)}" for key, value in settings.items()]
        self.sizes = []
        self.child = subprocess.Popen(
            [str(build_dir / "tests" / "detector_reference"), str(self.objects_path), str(self.masks_path),
             *arguments], stdin=subprocess.PIPE)

    def process_frame(self, frame, roi=None):
        pixels = np.ascontiguousarray(frame)
        height, width = pixels.shape[:2]
        channels = 1 if pixels.ndim == 2 else 3
        self.child.stdin.write(struct.pack("<4i", width, height, channels, roi is not None))
        self.child.stdin.write(pixels.tobytes())
        if roi is not None:
            self.child.stdin.write(np.ascontiguousarray(roi).tobytes())
        self.sizes.append((height, width))

    def finish(self):
        self.child.stdin.close()
        assert self.child.wait() == 0, "detector_reference failed"
        run = DetectorRun()
        for line in self.objects_path.read_text().splitlines():
            numbers = [int(n) for n in line.split()]
            run.objects.append([tuple(numbers[i:i + 5]) for i in range(1, len(numbers), 5)])
        data = self.masks_path.read_bytes()
        offset = 0
        while offset < len(data):
            (index,) = struct.unpack_from("<q", data, offset)
            offset += 8
            height, width = self.sizes[index]
            mask = np.frombuffer(data, dtype=np.uint8, count=height * width, offset=offset).reshape(height, width)
            run.masks.append((index, mask))
            offset += height * width
        return run


@pytest.fixture
def reference(build_dir, tmp_path):
    """Makes ReferenceDetector(settings) runs in the test's own folder."""
    return lambda settings: ReferenceDetector(build_dir, tmp_path, settings)
