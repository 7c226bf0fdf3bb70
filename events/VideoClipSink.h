// Event clips as Motion-JPEG AVI files, written by VideoFileWriter (its own
// thread, every frame in order, stopped with a reason when the disk fills up
// or the folder goes away).
#pragma once

#include "events/ClipChannel.h"

namespace tarvolen {

ClipSinkFactory videoFileClipSinks();

}  // namespace tarvolen
