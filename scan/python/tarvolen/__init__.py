"""Tarvolen's event detector and its file scan, for Python and NumPy.

Scan a file, as ``tarvolen-scan`` does, and get its events as dicts::

    import tarvolen
    for event in tarvolen.scan("footage.avi", settings={"num_frames": 10}):
        print(event["start"], event["end"], event["max_objects"], event["bbox"])

Or run the detector on frames of your own::

    detector = tarvolen.Detector(num_frames=10)
    detector.process(frame)        # (H, W) gray or (H, W, 3) BGR, uint8
    detector.event_mask            # (H, W) uint8, 255 where events are
    detector.objects               # [Object(x, y, width, height, score), ...]

The results are bit for bit those of the programs on the same frames.
"""

import os as _os

# The detector's OpenMP threads would otherwise spin for milliseconds after
# every model update, taking the cores that decoding and the caller's own
# threads need. The OpenMP runtime reads this when it is loaded, which
# importing the compiled module does; a policy the user chose is kept.
if "OMP_WAIT_POLICY" not in _os.environ and "GOMP_SPINCOUNT" not in _os.environ:
    _os.environ["OMP_WAIT_POLICY"] = "PASSIVE"

from ._tarvolen import Detector, Object, __version__, scan  # noqa: E402

__all__ = ["Detector", "Object", "scan", "__version__"]
