#!/usr/bin/env python3
"""Scans a video file for events and plots its activity, as one would in a
notebook: the event pixels of every frame over time, each event shaded and
numbered, saved as a PNG.

    python3 examples/scan_activity.py samples/vtest.avi activity.png \\
        --roi 0,400,768,176 --set num_frames=10 --set object_detection_criterion=10

The events come from tarvolen.scan() (exactly tarvolen-scan's); the curve
from a tarvolen.Detector with the same settings fed the frames that OpenCV
reads, so the shaded spans are where its objects were.
"""

import argparse
import json
import os
import sys

import cv2
import matplotlib

matplotlib.use("Agg")  # files only, no window
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import tarvolen  # noqa: E402


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("video")
    parser.add_argument("png")
    parser.add_argument("--set", action="append", default=[], metavar="KEY=VALUE",
                        help="a detector setting, VALUE as in Tarvolen.json (repeatable)")
    parser.add_argument("--roi", action="append", default=[], metavar="X,Y,W,H",
                        help="region of interest in pixels (repeatable: their union)")
    parser.add_argument("--end", type=float, help="only the first this many seconds")
    arguments = parser.parse_args(argv)
    arguments.settings = {}
    for setting in arguments.set:
        key, _, value = setting.partition("=")
        arguments.settings[key] = json.loads(value)
    arguments.rectangles = [tuple(int(v) for v in text.split(",")) for text in arguments.roi]
    return arguments


def plural(count, noun):
    return f"{count} {noun}{'' if count == 1 else 's'}"


def region_mask(rectangles, shape):
    """255 inside the union of the rectangles (the whole frame without any)."""
    if not rectangles:
        return None
    mask = np.zeros(shape[:2], np.uint8)
    for x, y, width, height in rectangles:
        mask[max(y, 0):max(y + height, 0), max(x, 0):max(x + width, 0)] = 255
    return mask


def event_pixels(video, settings, rectangles, end_seconds):
    """(seconds, event pixels) of every frame, read as OpenCV reads them."""
    capture = cv2.VideoCapture(video)
    if not capture.isOpened():
        sys.exit(f"cannot open {video}")
    detector = tarvolen.Detector(**settings)
    times, counts, roi = [], [], None
    while True:
        read, frame = capture.read()  # BGR, as the detector takes it
        seconds = capture.get(cv2.CAP_PROP_POS_MSEC) / 1000.0
        if not read or (end_seconds is not None and seconds >= end_seconds):
            break
        if roi is None:
            roi = region_mask(rectangles, frame.shape)
        detector.process(frame, roi)
        times.append(seconds)
        counts.append(int(np.count_nonzero(detector.event_mask)))
    return np.array(times), np.array(counts)


def plot(video, times, counts, events, png):
    figure, axes = plt.subplots(figsize=(11, 3.6), dpi=110)
    colours = plt.get_cmap("tab10")
    for index, event in enumerate(events):
        start, end = event["start_ms"] / 1000.0, event["end_ms"] / 1000.0
        axes.axvspan(start, end, color=colours(index % 10), alpha=0.25, linewidth=0)
        label = f"#{event['event']}: up to {plural(event['max_objects'], 'object')}"
        axes.annotate(label, (start, 1.0), xycoords=("data", "axes fraction"),
                      xytext=(4, -14), textcoords="offset points", fontsize=9, color=colours(index % 10))
    axes.plot(times, counts, color="black", linewidth=0.9, label="event pixels")
    axes.set_xlim(times[0] if len(times) else 0, times[-1] if len(times) else 1)
    axes.set_ylim(bottom=0)
    axes.set_xlabel("time (s)")
    axes.set_ylabel("event pixels per frame")
    axes.set_title(f"{os.path.basename(video)}: {len(times)} frames, {plural(len(events), 'event')} (shaded)")
    axes.grid(axis="y", alpha=0.3)
    figure.tight_layout()
    figure.savefig(png)
    plt.close(figure)


def main(argv):
    arguments = parse_arguments(argv)
    events = tarvolen.scan(arguments.video, settings=arguments.settings, roi=arguments.rectangles or None,
                           end=arguments.end)
    times, counts = event_pixels(arguments.video, arguments.settings, arguments.rectangles, arguments.end)
    plot(arguments.video, times, counts, events, arguments.png)
    for event in events:
        print(f"event {event['event']}: {event['start']} - {event['end']}, "
              f"up to {plural(event['max_objects'], 'object')}")
    print(f"{arguments.png}: {len(times)} frames, {plural(len(events), 'event')}")


if __name__ == "__main__":
    main(sys.argv[1:])
