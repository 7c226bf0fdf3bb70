// Event clips written by media/ClipWriter, as Motion-JPEG AVI or H.264 MP4:
// its writer thread, its disk guard and its one-line failures.
#pragma once

#include "events/ClipChannel.h"
#include "media/ClipWriter.h"

namespace tarvolen {

// Makes one sink per clip, each writing through its own ClipWriter. JPEG
// frames from the pre-capture buffer go into Motion-JPEG clips as they are.
ClipSinkFactory videoFileClipSinks(ClipFormat format = ClipFormat::Avi);

}  // namespace tarvolen
