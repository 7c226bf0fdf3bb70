// Making a clip whose writer was killed (SIGKILL, a crash, a power cut)
// playable where it can be: its readable packets, up to where it was torn,
// copied into a file of the same container written whole.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace tarvolen {

struct ClipRepair {
    bool readable = false;    // packets could be read from the clip
    bool rewritten = false;   // and the clip was replaced by a whole file of them
    std::string problem;      // why not, in a few words
    std::int64_t videoPackets = 0;
    double durationMs = 0;    // from its first video frame to the end of its last
    // When its first frame was seen, as its writer noted it in the file.
    std::optional<std::chrono::system_clock::time_point> created;
};

// Copies the packets of the clip at `path` into `scratchPath` (a name of the
// same container), then renames it over the clip. The clip is left as it
// was when nothing could be read from it.
ClipRepair repairClip(const std::string& path, const std::string& scratchPath);

}  // namespace tarvolen
