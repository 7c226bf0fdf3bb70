// Cutting a stretch out of a video file without decoding it: the source's
// own packets, video and audio, copied into a clip of their own.
//
// A clip can only start on a keyframe, so it starts at the keyframe at or
// before the stretch's first frame and ends after its last frame: it covers
// the stretch, and usually a little more before it.
#pragma once

#include <cstdint>
#include <string>

namespace tarvolen {

struct StreamCutResult {
    bool ok = false;
    // One line naming the clip and why it could not be (fully) written.
    std::string failure;
    // The clip's own first and last video presentation times, in
    // milliseconds from the start of the source's video (the times the
    // scan's frames have).
    double firstMs = 0;
    double lastMs = 0;
    std::int64_t videoPackets = 0;
    bool hasAudio = false;
};

// The extension the clip of `source` should have: ".mp4" when every video
// and audio stream it would copy fits MP4, else ".mkv" (Matroska holds
// nearly anything). ".mkv" too when the source cannot be opened.
std::string streamCutExtension(const std::string& source);

// Writes the packets of `source` from the keyframe at or before `startMs`
// to the last frame at or before `endMs` (times as above) into `clip`, in
// the container its extension names. The disk guard watches the clip: when
// the disk fills, the clip is finished at once, playable, and the result
// says why.
StreamCutResult cutStream(const std::string& source, const std::string& clip, double startMs, double endMs);

}  // namespace tarvolen
