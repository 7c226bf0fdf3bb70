"""tarvolen.Detector: bit for bit the C++ detector on the same frames, in
every layout a NumPy user hands over; its refusals; its threads."""

import sys
import threading
import time

import numpy as np
import pytest

import tarvolen
from conftest import HEIGHT, SLOWDOWN, WIDTH, DetectorRun, decoded_frames

FRAMES = 200
SETTINGS = {"num_frames": 5, "num_threads": 2}
REGION = np.zeros((HEIGHT, WIDTH), np.uint8)
REGION[HEIGHT // 3:, :] = 255
CROP = np.s_[40:HEIGHT - 36, 64:WIDTH - 64]


def every_other_column(gray):
    padded = np.zeros((gray.shape[0], gray.shape[1] * 2), np.uint8)
    padded[:, ::2] = gray
    return padded[:, ::2]


# name: (the pixel format FFmpeg decodes to, (frame, roi) for process() from
# the frame's number and the decoded frame)
LAYOUTS = {
    "gray": ("gray", lambda i, frame: (frame, None)),
    "bgr": ("bgr24", lambda i, frame: (frame, None)),
    "gray_strided_view": ("gray", lambda i, frame: (every_other_column(frame), None)),
    "bgr_view_of_rgb_reversed": ("rgb24", lambda i, frame: (frame[:, :, ::-1], None)),
    # The frames shrink mid-stream (the model starts afresh, the tracks go on)
    # and the region is a view of a larger mask.
    "region_and_size_change": ("bgr24", lambda i, frame: (frame, REGION) if i < FRAMES // 2
                               else (frame[CROP], REGION[CROP])),
}


def run_detector(detector, frames, reference=None):
    """Feeds (frame, roi) pairs to the detector, and to the reference."""
    run = DetectorRun()
    for frame, roi in frames:
        detector.process(frame, roi)
        if reference:
            reference.process_frame(frame, roi)
        run.add(detector.objects, detector.event_mask)
    return run


@pytest.mark.parametrize("layout", LAYOUTS)
def test_masks_and_tracks_are_the_cpp_detectors(layout, sample_video, reference):
    pixel_format, given = LAYOUTS[layout]
    expected = reference(SETTINGS)
    frames = (given(i, frame) for i, frame in enumerate(decoded_frames(sample_video, pixel_format, FRAMES)))
    run = run_detector(tarvolen.Detector(**SETTINGS), frames, expected)
    expected = expected.finish()
    assert len(expected.objects) == FRAMES and any(expected.objects[-50:]) and len(expected.masks) > 10
    run.assert_same_as(expected)


def test_reset_starts_afresh(sample_video):
    frames = [(frame, None) for frame in decoded_frames(sample_video, "gray", 60)]
    detector = tarvolen.Detector(num_frames=5)
    assert detector.event_mask is None and detector.objects == []
    run_detector(detector, frames[:30])
    detector.reset()
    run_detector(tarvolen.Detector(num_frames=5), frames[30:]).assert_same_as(run_detector(detector, frames[30:]))


def test_detectors_on_two_threads_give_what_each_gives_alone(sample_video):
    frames = [(frame, None) for frame in decoded_frames(sample_video, "gray", 80)]
    runs = [None, None]
    threads = [threading.Thread(target=lambda slot=slot: runs.__setitem__(
        slot, run_detector(tarvolen.Detector(num_frames=5), frames))) for slot in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    alone = run_detector(tarvolen.Detector(num_frames=5), frames)
    for run in runs:
        run.assert_same_as(alone)


def test_process_lets_other_threads_run():
    """With forced switches between threads off, another thread gets the
    interpreter only when process() lets go of it."""
    detector = tarvolen.Detector(num_frames=1)
    frame = np.zeros((480, 640), np.uint8)
    started, seen = threading.Event(), threading.Event()
    deadline = time.monotonic() + 60 * SLOWDOWN  # should process() hold the lock

    def work():
        started.set()
        while not seen.is_set() and time.monotonic() < deadline:
            detector.process(frame)

    worker = threading.Thread(target=work)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        worker.start()
        started.wait()
        ran_alongside = worker.is_alive() and not seen.is_set()
        seen.set()
    finally:
        sys.setswitchinterval(interval)
    worker.join()
    assert ran_alongside, "process() held the interpreter lock"


@pytest.mark.parametrize("settings, error, name", [
    ({"bogus": 1}, ValueError, "bogus"),
    ({"pixel_deviation": "10"}, TypeError, "pixel_deviation"),
    ({"alpha_coeff": True}, TypeError, "alpha_coeff"),
    ({"min_object_width": [3]}, TypeError, "min_object_width"),
    ({"num_frames": 0}, ValueError, "num_frames"),
    ({"alpha_coeff": float("nan")}, ValueError, "alpha_coeff"),
    ({"max_object_width": 10**30}, ValueError, "max_object_width"),
])
def test_bad_settings_raise_naming_the_key(settings, error, name):
    with pytest.raises(error, match=name):
        tarvolen.Detector(**settings)


def test_settings_are_taken_as_scan_set_takes_them():
    taken = tarvolen.Detector(num_threads=4.9, num_frames=True, alpha_coeff=np.float32(0.05),
                              min_object_width=np.int64(3)).settings
    assert taken == {"min_object_width": 3, "max_object_width": 64, "min_object_height": 2, "max_object_height": 64,
                     "object_detection_criterion": 2, "pixel_deviation": 10.0, "alpha_coeff": 0.05,
                     "num_threads": 4, "num_frames": 1}


GOOD = np.zeros((48, 64), np.uint8)


@pytest.mark.parametrize("frame, roi, words", [
    (np.zeros((48, 64), np.float32), None, "float32"),
    (np.zeros((48, 64, 4), np.uint8), None, r"\(48, 64, 4\)"),
    (np.zeros((2, 48, 64, 3), np.uint8), None, "shape"),
    (np.zeros((0, 64), np.uint8), None, r"\(0, 64\)"),
    (GOOD.tolist(), None, "list"),
    (GOOD, np.zeros((48, 63), np.uint8), "roi"),
    (GOOD, np.zeros((48, 64), np.int32), "roi"),
])
def test_bad_frames_raise_and_change_nothing(frame, roi, words):
    detector = tarvolen.Detector(num_frames=1)
    detector.process(GOOD)
    with pytest.raises(ValueError, match=words):
        detector.process(frame, roi)
    assert detector.event_mask.shape == GOOD.shape


def test_a_frame_too_large_for_the_memory_is_refused_before_it_is_copied():
    with pytest.raises(MemoryError, match="100000x100000 too large"):
        tarvolen.Detector().process(np.broadcast_to(np.uint8(0), (100_000, 100_000)))


def test_the_installed_package_is_tested_and_versioned(source_dir):
    assert "site-packages" in tarvolen.__file__
    assert f"project(Tarvolen VERSION {tarvolen.__version__} " in (source_dir / "CMakeLists.txt").read_text()
