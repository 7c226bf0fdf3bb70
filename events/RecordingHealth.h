// What monitoring watches of event recording to see trouble coming: the clip
// writer falling behind, hooks dropped, clips deleted to keep the folder
// within its bounds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvolen {

struct RecordingHealth {
    std::size_t clipBacklogBytes = 0;  // frames waiting for the clip writer, now
    std::uint64_t hooksDropped = 0;    // so far, as the rest
    std::uint64_t retentionDeletedFiles = 0;
    std::uint64_t retentionDeletedBytes = 0;

    // The counts of an earlier recording carried on (its backlog is gone).
    RecordingHealth plusCountsOf(const RecordingHealth& earlier) const {
        RecordingHealth sum = *this;
        sum.hooksDropped += earlier.hooksDropped;
        sum.retentionDeletedFiles += earlier.retentionDeletedFiles;
        sum.retentionDeletedBytes += earlier.retentionDeletedBytes;
        return sum;
    }
};

}  // namespace tarvolen
