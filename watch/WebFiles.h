// The only files the web view serves: the event folder's clips, snapshots
// and box files, by their exact names, never through a link; and the event
// log read from its end.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarvolen {

// Boxes: the boxes of a copied clip's detected frames, beside the clip.
enum class EventFileKind { Clip, Snapshot, Boxes };

// "event_" + digits and underscores + ".avi" / ".mp4" / ".mkv" (clips),
// ".jpg" (snapshots) or ".boxes.json" (boxes), and nothing else: no
// separators, other dots, escapes or NULs can pass, whatever decoding came
// before.
bool isEventFileName(const std::string& name, EventFileKind kind);

// video/x-msvideo, video/mp4, video/x-matroska, image/jpeg or
// application/json, by the name's extension.
std::string eventFileContentType(const std::string& name);

// An open regular file; closed with the last reference.
class OpenFile {
public:
    OpenFile(int descriptor, std::uint64_t size) : fd(descriptor), bytes(size) {}
    ~OpenFile();
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    std::uint64_t size() const { return bytes; }
    // Up to `length` bytes from `offset`; fewer only at the end or on error.
    ssize_t readAt(char* buffer, std::size_t length, std::uint64_t offset) const;

private:
    int fd;
    std::uint64_t bytes;
};

// Opens `name` in `folder` when it is an event file name of `kind` and a
// regular file there (a link, even to a regular file, is refused); nothing
// otherwise.
std::shared_ptr<OpenFile> openEventFile(const std::string& folder, const std::string& name, EventFileKind kind);

// Byte ranges as the HTTP library parses them: (first, last) with -1 for an
// absent end; (-1, n) is the last n bytes.
using ByteRanges = std::vector<std::pair<ssize_t, ssize_t>>;

inline constexpr std::size_t kMaxRanges = 8;

// Whether every range selects at least one byte of a file of `size` bytes
// (and there are at most kMaxRanges); an empty list is fine.
bool rangesSatisfiable(const ByteRanges& ranges, std::uint64_t size);

// "2024-03-05T09:07:03.120+01:00" (also "Z", without milliseconds, or
// without an offset as UTC) as milliseconds since the epoch.
std::optional<std::int64_t> parseIsoTime(const std::string& text);

struct EventQuery {
    std::optional<std::int64_t> sinceMs;  // only events starting after this
    std::size_t limit = 50;
};

inline constexpr std::size_t kMaxEventsListed = 500;

// The log's events, newest first, each its log object plus "snapshot" and
// "boxes": the names of the clip's snapshot and box file when they are in
// `folder`, else null. Lines that
// are not JSON objects are skipped. Reads the log from its end, no further
// back than needed.
nlohmann::ordered_json recentEvents(const std::string& logPath, const std::string& folder, const EventQuery& query);

}  // namespace tarvolen
