// Copying a source's own packets, video and sound, into a clip, neither
// decoded nor encoded: from a video keyframe on, times moved so that the
// clip starts at zero, sound from the keyframe's moment on. Used by the
// scan's cuts of a file and by event clips copied from a stream.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "media/Muxer.h"
#include "media/StreamPacket.h"

struct AVBSFContext;

namespace tarvolen {

// ".mp4" when the video and the sound of `layout` fit MP4, else ".mkv"
// (Matroska holds nearly anything).
std::string copiedClipExtension(const StreamLayout& layout);

class PacketClip {
public:
    PacketClip() = default;
    ~PacketClip();
    PacketClip(const PacketClip&) = delete;
    PacketClip& operator=(const PacketClip&) = delete;

    // Sets up `path` for the streams of `layout`; the file is created with
    // the first keyframe. An empty string, or the problem.
    std::string open(const std::string& path, std::shared_ptr<const StreamLayout> layout,
                     const MuxerSettings& settings);
    // Writes `packet` (of the layout's source). Packets before the first
    // video keyframe are left out. Checks the room on the disk before each
    // video packet. An empty string, or the problem.
    std::string write(const StreamPacket& packet);
    // The file finished so that it plays; an empty string, or the problem.
    std::string finish();

    bool started() const { return fileStarted; }
    std::int64_t videoPackets() const { return videoWritten; }
    // The media times (StreamPacket::mediaMs) of the clip's first and last
    // video frames, once one was written.
    double firstMs() const { return firstVideoMs; }
    StreamPacket::Clock::time_point firstArrival() const { return firstVideoArrival; }
    double lastMs() const { return lastVideoMs; }

private:
    std::string begin(const StreamPacket& keyframe);
    std::string awaitTime(const StreamPacket& packet);
    void placeBefore(std::deque<StreamPacket>& held, const StreamPacket& timed) const;
    std::string startFile();
    std::string writeNow(const StreamPacket& packet);
    std::string writeAudio(const StreamPacket& packet);
    std::string mux(AVPacket& packet, bool isVideo);

    std::string path;
    std::shared_ptr<const StreamLayout> layout;
    MuxerSettings settings;
    Muxer muxer;
    int outputOf[2] = {-1, -1};  // the muxer's streams of the video and the sound
    // AAC sound in ADTS frames (transport streams) is put into MP4 and
    // Matroska without its frame headers, and the file's header needs its
    // configuration, known from the first frame: the file is started once
    // that came, the video until then held.
    AVBSFContext* adtsFilter = nullptr;
    bool audioConfigured = true;
    std::deque<StreamPacket> waiting;
    // A first keyframe that came without a time (an RTSP session's first
    // packet may), with what followed it, until a picture with a time says
    // when it was.
    std::deque<StreamPacket> untimedStart;
    bool writing = false;      // a keyframe came
    bool fileStarted = false;  // and the file's header is written
    std::int64_t offsetUs = 0;   // taken from every time in the clip
    std::int64_t keyTimeUs = 0;  // the starting keyframe's presentation time
    std::int64_t videoWritten = 0;
    double firstVideoMs = 0;
    StreamPacket::Clock::time_point firstVideoArrival;
    double lastVideoMs = 0;
};

}  // namespace tarvolen
