// Which configured source paths may be opened as video files.
#pragma once

#include <string>

namespace tarvolen {

// Whether `path` may be handed to the video reader. A path that names
// nothing in the file system (a URL, a numbered image-file pattern) is left
// to the reader to judge. An existing path must be a regular file or a video
// capture device (such as /dev/video0), after following links: FIFOs,
// sockets, directories and other devices are refused, since opening them can
// block start-up for good (a FIFO without a writer) or never yield frames.
bool mayOpenSourcePath(const std::string& path);

}  // namespace tarvolen
