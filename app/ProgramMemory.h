// What the live program holds per pixel of its frame size.
#pragma once

#include <cstddef>

namespace tarvolen {

// Bytes per pixel of the frame size that the running program holds at most:
// the detector's buffers, the loop's images, the frames read ahead, the
// recording queue and the windows' copies of what they show.
std::size_t programBytesPerPixel();

}  // namespace tarvolen
