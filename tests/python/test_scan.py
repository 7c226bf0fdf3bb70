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

SLOWDOWN = float(os.environ.get("TARVOLEN_E2E_SLOWDOWN", "1"))
REGIONS = {"include": [[[0, 250], [768, 250], [768, 576], [0, 576]]],
           "exclude": [[[600, 250], [768, 250], [768, 400]]]}

# name: (scan()'s keyword arguments, the same for tarvolen-scan); "REGIONS"
# stands for a region file holding REGIONS.
SCANS = {
    "lawn_two_events": (
        {"roi": (0, 400, 768, 176), "settings": {"num_frames": 10, "object_detection_criterion": 10}},
        ["--roi", "0,400,768,176", "--set", "num_frames=10", "--set", "object_detection_criterion=10"]),
    "range_padding_and_region_file": (
        {"start": 20, "end": "00:00:50.5", "pre": 0.5, "post": 1, "min_event": 0.3, "region_file": "REGIONS",
         "roi": [(0, 0, 100, 100)], "settings": {"num_frames": 5, "object_detection_criterion": 12}},
        ["--start", "20", "--end", "00:00:50.5", "--pre", "0.5", "--post", "1", "--min-event", "0.3",
         "--region-file", "REGIONS", "--roi", "0,0,100,100", "--set", "num_frames=5",
         "--set", "object_detection_criterion=12"]),
}


@pytest.fixture
def region_file(tmp_path):
    path = tmp_path / "regions.json"
    path.write_text(json.dumps(REGIONS))
    return path


def tool_events(build_dir, work_dir, video, arguments):
    """The events tarvolen-scan writes, as json.loads reads its lines."""
    out = work_dir / "out"
    subprocess.run([str(build_dir / "scan" / "tarvolen-scan"), "--quiet", "-o", str(out), *arguments, str(video)],
                   cwd=work_dir, check=True)
    lines = (out / (pathlib.Path(video).stem + ".events.jsonl")).read_text().splitlines()
    return [json.loads(line) for line in lines]


@pytest.mark.parametrize("name", SCANS)
def test_events_are_tarvolen_scans_lines(name, build_dir, tmp_path, sample_video, region_file, monkeypatch):
    keywords, arguments = SCANS[name]
    keywords = {key: str(region_file) if value == "REGIONS" else value for key, value in keywords.items()}
    arguments = [str(region_file) if value == "REGIONS" else value for value in arguments]
    expected = tool_events(build_dir, tmp_path, sample_video, arguments)
    here = tmp_path / "python"
    here.mkdir()
    monkeypatch.chdir(here)
    events = tarvolen.scan(pathlib.Path(sample_video), **keywords)
    assert expected, "no event to compare"
    assert events == expected
    assert [list(event) for event in events] == [list(event) for event in expected]
    assert list(here.iterdir()) == [], "scan() wrote files"


@pytest.mark.parametrize("keywords, error, words", [
    ({"pre": -1}, ValueError, "pre"),
    ({"post": "2"}, TypeError, "post"),
    ({"min_event": float("nan")}, ValueError, "min_event"),
    ({"roi": (0, 0, 0, 10)}, ValueError, "roi"),
    ({"roi": [(0, 0, 10, 10), (5000, 5000, 10, 10)]}, ValueError, "roi 5000,5000,10,10 lies wholly outside"),
    ({"roi": "0,0,10,10"}, TypeError, "roi"),
    ({"roi": (0, 0, 10.5, 10)}, TypeError, "roi"),
    ({"start": "soon"}, ValueError, "start"),
    ({"start": 30, "end": 10}, ValueError, "end"),
    ({"start": [1]}, TypeError, "start"),
    ({"settings": {"num_frames": 0}}, ValueError, "num_frames"),
    ({"settings": {"bogus": 1}}, ValueError, "bogus"),
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
    ("missing.avi", None, FileNotFoundError),
    ("notes.avi", b"not a video at all\n" * 100, OSError),
    ("folder.avi", "folder", OSError),
])
def test_unreadable_files_raise_oserror_naming_them(name, content, error, tmp_path):
    path = tmp_path / name
    if content == "folder":
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    with pytest.raises(error, match=name):
        tarvolen.scan(str(path))


def opened_by(pid, path):
    """Whether process `pid` has `path` open."""
    folder = f"/proc/{pid}/fd"
    try:
        return any(os.path.realpath(os.path.join(folder, fd)) == str(path) for fd in os.listdir(folder))
    except OSError:
        return False


def test_ctrl_c_stops_a_scan_with_keyboard_interrupt(sample_video, tmp_path):
    """An endless stream (the clip looped into a FIFO) ends only when the
    scan answers Ctrl+C; should it not, the feed is cut after a long while
    and the scan ends without KeyboardInterrupt."""
    fifo = tmp_path / "endless.nut"
    os.mkfifo(fifo)
    feed = subprocess.Popen(["ffmpeg", "-v", "quiet", "-stream_loop", "-1", "-i", str(sample_video), "-c", "copy",
                             "-f", "nut", "-y", str(fifo)], stdin=subprocess.DEVNULL)
    cut = threading.Event()

    def cut_the_feed():
        cut.set()
        feed.kill()

    def interrupt_once_streaming():
        # The writer's open returns once the scan has opened the FIFO too;
        # from then on the scan only reads, which a signal does not break.
        deadline = time.monotonic() + 60 * SLOWDOWN
        while not opened_by(feed.pid, fifo) and time.monotonic() < deadline:
            time.sleep(0.05)
        os.kill(os.getpid(), signal.SIGINT)

    cutter = threading.Timer(120 * SLOWDOWN, cut_the_feed)
    interrupter = threading.Thread(target=interrupt_once_streaming)
    cutter.start()
    interrupter.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            tarvolen.scan(str(fifo))
        assert not cut.is_set(), "the scan went on until its input was cut"
    finally:
        interrupter.join()
        cutter.cancel()
        feed.kill()
        feed.wait()
