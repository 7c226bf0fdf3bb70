// Event clips written as Motion-JPEG AVI files by media/VideoFileWriter: its
// writer thread, its disk guard and its one-line failures.
#pragma once

#include "events/ClipChannel.h"

namespace tarvolen {

// Makes one sink per clip, each writing through its own VideoFileWriter.
ClipSinkFactory videoFileClipSinks();

}  // namespace tarvolen
