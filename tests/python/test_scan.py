"""tarvolen.scan(): tarvolen-scan's events as dicts, its refusals, Ctrl+C."""

import json
import os
import pathlib
import signal
import subprocess
import threading
import time

import pytest

import tarvolen
from conftest import SLOWDOWN

REGIONS = {"include": [[[0, 250], [768, 250], [768, 576], [0, 576]]], "exclude": [[[600, 250], [768, 250], [768, 400]]]}

# name: (scan()'s keyword arguments, tarvolen-scan's options); "REGIONS" is
# a file holding REGIONS.
SCANS = {
    "lawn_two_events": (
        {"roi": (0, 400, 768, 176), "settings": {"num_frames": 10, "object_detection_criterion": 10}},
        ["--roi", "0,400,768,176", "--set", "num_frames=10", "--set", "object_detection_criterion=10"]),
    "range_padding_and_regions": (
        {"start": 20, "end": "00:00:50.5", "pre": 0.5, "post": 1, "min_event": 0.3, "region_file": "REGIONS",
         "roi": [(0, 0, 100, 100)], "settings": {"num_frames": 5, "object_detection_criterion": 12}},
        ["--start", "20", "--end", "00:00:50.5", "--pre", "0.5", "--post", "1", "--min-event", "0.3", "--region-file",
         "REGIONS", "--roi", "0,0,100,100", "--set", "num_frames=5", "--set", "object_detection_criterion=12"]),
}


@pytest.mark.parametrize("name", SCANS)
def test_events_are_tarvolen_scans_lines(name, build_dir, tmp_path, sample_video, monkeypatch):
    regions = tmp_path / "regions.json"
    regions.write_text(json.dumps(REGIONS))
    keywords = {key: str(regions) if value == "REGIONS" else value for key, value in SCANS[name][0].items()}
    options = [str(regions) if value == "REGIONS" else value for value in SCANS[name][1]]
    subprocess.run([str(build_dir / "scan" / "tarvolen-scan"), "--quiet", "-o", str(tmp_path), *options,
                    str(sample_video)], cwd=tmp_path, check=True)
    lines = (tmp_path / (sample_video.stem + ".events.jsonl")).read_text().splitlines()
    expected = [json.loads(line) for line in lines]
    (tmp_path / "python").mkdir()
    monkeypatch.chdir(tmp_path / "python")
    events = tarvolen.scan(pathlib.Path(sample_video), **keywords)
    assert expected and events == expected
    assert [list(event) for event in events] == [list(event) for event in expected], "the keys' order"
    assert list(pathlib.Path().iterdir()) == [], "scan() wrote files"


@pytest.mark.parametrize("keywords, error, words", [
    ({"pre": -1}, ValueError, "pre"),
    ({"post": "2"}, TypeError, "post"),
    ({"min_event": float("nan")}, ValueError, "min_event"),
    ({"roi": [(0, 0, 10, 10), (5000, 5000, 10, 10)]}, ValueError, "roi 5000,5000,10,10 lies wholly outside"),
    ({"roi": (0, 0, 10.5, 10)}, TypeError, "roi"),
    ({"start": 30, "end": 10}, ValueError, "end"),
    ({"settings": {"alpha_coeff": "0.1"}}, TypeError, "alpha_coeff"),
    ({"settings": 10}, TypeError, "settings"),
    ({"region_file": "no-such-regions.json"}, FileNotFoundError, "no-such-regions.json"),
])
def test_bad_arguments_raise_before_scanning(keywords, error, words, sample_video, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error, match=words):
        tarvolen.scan(sample_video, **keywords)
    assert list(tmp_path.iterdir()) == [], "a refused scan wrote something"


@pytest.mark.parametrize("name, content, error", [
    ("missing.avi", None, FileNotFoundError), ("notes.avi", b"not a video\n" * 100, OSError), ("folder.avi", "", OSError),
])
def test_unreadable_files_raise_oserror_naming_them(name, content, error, tmp_path):
    path = tmp_path / name
    if content == "":
        path.mkdir()
    elif content:
        path.write_bytes(content)
    with pytest.raises(error, match=name):
        tarvolen.scan(str(path))


def test_ctrl_c_stops_a_scan_with_keyboard_interrupt(sample_video, tmp_path):
    """An endless stream (the clip looped into a FIFO) ends only when the
    scan answers Ctrl+C; should it not, the feed is cut after a long while
    and the scan ends without KeyboardInterrupt."""
    fifo = tmp_path / "endless.nut"
    os.mkfifo(fifo)
    feed = subprocess.Popen(["ffmpeg", "-v", "quiet", "-stream_loop", "-1", "-i", str(sample_video), "-c", "copy",
                             "-f", "nut", "-y", str(fifo)], stdin=subprocess.DEVNULL)
    cut = threading.Timer(120 * SLOWDOWN, feed.kill)

    def interrupt_once_streaming():
        # The writer's open returns once the scan has opened the FIFO too;
        # from then on the scan only reads, which a signal does not break.
        deadline = time.monotonic() + 60 * SLOWDOWN
        fds = f"/proc/{feed.pid}/fd"
        while time.monotonic() < deadline and str(fifo) not in (os.path.realpath(f"{fds}/{fd}")
                                                                for fd in os.listdir(fds)):
            time.sleep(0.05)
        os.kill(os.getpid(), signal.SIGINT)

    interrupter = threading.Thread(target=interrupt_once_streaming)
    cut.start()
    interrupter.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            tarvolen.scan(str(fifo))
        assert cut.is_alive(), "the scan went on until its input was cut"
    finally:
        interrupter.join()
        cut.cancel()
        feed.kill()
        feed.wait()
