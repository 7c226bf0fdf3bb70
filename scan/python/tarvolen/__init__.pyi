# Type information for editors and type checkers: the compiled module has
# none of its own.
from os import PathLike
from typing import Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple, TypedDict, Union

import numpy as np
import numpy.typing as npt

__version__: str

_Path = Union[str, bytes, PathLike[str], PathLike[bytes]]
_Rectangle = Tuple[int, int, int, int]
_Setting = Union[bool, int, float]

class Object(NamedTuple):
    """A confirmed object: its latest box in pixels and its persistence score."""

    x: int
    y: int
    width: int
    height: int
    score: int

class _Event(TypedDict):
    """One event, with the keys and values of tarvolen-scan's JSON line."""

    file: str
    event: int
    start_frame: int
    end_frame: int
    start_ms: int
    end_ms: int
    start: str
    end: str
    active_frames: int
    max_objects: int
    bbox: List[int]

class Detector:
    """The event detector; the nine settings of Tarvolen.json as keywords."""

    def __init__(
        self,
        *,
        min_object_width: int = 2,
        max_object_width: int = 64,
        min_object_height: int = 2,
        max_object_height: int = 64,
        object_detection_criterion: int = 2,
        pixel_deviation: float = 10.0,
        alpha_coeff: float = 0.01,
        num_threads: int = 1,
        num_frames: int = 30,
    ) -> None: ...
    def process(self, frame: npt.NDArray[np.uint8], roi: Optional[npt.NDArray[np.uint8]] = None) -> None:
        """Feeds one (H, W) gray or (H, W, 3) BGR uint8 frame; roi non-zero inside."""
    @property
    def event_mask(self) -> Optional[npt.NDArray[np.uint8]]:
        """(H, W) uint8, 255 for event pixels, a copy; None before the first frame."""
    @property
    def objects(self) -> List[Object]:
        """The confirmed objects of the latest averaging window."""
    def reset(self) -> None:
        """Forgets the model, the mask, the window and the tracks."""
    @property
    def settings(self) -> Dict[str, Union[int, float]]:
        """The nine settings, in Tarvolen.json's order."""

def scan(
    path: _Path,
    settings: Optional[Mapping[str, _Setting]] = None,
    pre: float = 1.5,
    post: float = 2.0,
    min_event: float = 0.0,
    roi: Optional[Union[_Rectangle, Sequence[_Rectangle]]] = None,
    region_file: Optional[_Path] = None,
    start: Optional[Union[float, str]] = None,
    end: Optional[Union[float, str]] = None,
) -> List[_Event]:
    """The events of one video file, as tarvolen-scan finds them."""
