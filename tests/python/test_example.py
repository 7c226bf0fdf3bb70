"""examples/scan_activity.py: the notebook user's picture of a file."""

import subprocess
import sys

import matplotlib.image

import tarvolen

FIGURE_PIXELS = (396, 1210)  # 11 x 3.6 inches at 110 dots per inch


def test_the_example_plots_a_files_activity(source_dir, sample_video, tmp_path):
    png = tmp_path / "activity.png"
    printed = subprocess.run(
        [sys.executable, str(source_dir / "examples" / "scan_activity.py"), str(sample_video), str(png),
         "--end", "30", "--set", "num_frames=10"], check=True, capture_output=True, text=True).stdout
    assert matplotlib.image.imread(png).shape[:2] == FIGURE_PIXELS
    events = tarvolen.scan(sample_video, settings={"num_frames": 10}, end=30)
    told = f"{len(events)} event" + ("" if len(events) == 1 else "s")
    assert events and f"{png}: 300 frames, {told}" in printed
