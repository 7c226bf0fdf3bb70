#include "watch/WebFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <ctime>
#include <deque>
#include <fstream>

namespace tarvolen {

namespace {

const std::string kPrefix = "event_";
constexpr std::size_t kLogBlockBytes = 64 * 1024;
// A log line longer than this is not one of ours.
constexpr std::size_t kMaxLogLineBytes = 64 * 1024;

struct Extension {
    std::string text;
    EventFileKind kind;
    const char* contentType;
};

const Extension kExtensions[] = {
    {".avi", EventFileKind::Clip, "video/x-msvideo"},
    {".mp4", EventFileKind::Clip, "video/mp4"},
    {".mkv", EventFileKind::Clip, "video/x-matroska"},
    {".jpg", EventFileKind::Snapshot, "image/jpeg"},
    {".boxes.json", EventFileKind::Boxes, "application/json"},
};
const std::string kSnapshotExtension = ".jpg";
const std::string kBoxesExtension = ".boxes.json";

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

const Extension* extensionOf(const std::string& name) {
    for (const Extension& extension : kExtensions)
        if (endsWith(name, extension.text)) return &extension;
    return nullptr;
}

std::string stemOf(const std::string& file) {
    const std::size_t dot = file.rfind('.');
    return dot == std::string::npos ? file : file.substr(0, dot);
}

class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor) : fd(descriptor) {}
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd; }
    int release() {
        const int kept = fd;
        fd = -1;
        return kept;
    }

private:
    int fd;
};

bool twoDigits(const std::string& text, std::size_t at, int& value) {
    if (at + 2 > text.size() || !std::isdigit(static_cast<unsigned char>(text[at])) ||
        !std::isdigit(static_cast<unsigned char>(text[at + 1]))) {
        return false;
    }
    value = (text[at] - '0') * 10 + (text[at + 1] - '0');
    return true;
}

// The offset in seconds after the time at `at`: "", "Z", "+hh:mm", "-hh:mm".
bool parseOffset(const std::string& text, std::size_t at, long& seconds) {
    if (at == text.size() || (at + 1 == text.size() && text[at] == 'Z')) {
        seconds = 0;
        return true;
    }
    int hours = 0;
    int minutes = 0;
    if (at + 6 != text.size() || (text[at] != '+' && text[at] != '-') || text[at + 3] != ':' ||
        !twoDigits(text, at + 1, hours) || !twoDigits(text, at + 4, minutes)) {
        return false;
    }
    seconds = (hours * 60L + minutes) * 60L * (text[at] == '-' ? -1 : 1);
    return true;
}

// Complete lines of the log, newest last, reading back from its end until
// `enough` says the oldest line read is old enough or the file begins.
template <typename Enough>
std::deque<std::string> tailLines(const std::string& path, Enough enough) {
    std::deque<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    if (!in) return lines;
    in.seekg(0, std::ios::end);
    std::streamoff position = in.tellg();
    std::string partial;  // the start of a line whose beginning is not read yet
    bool first = true;
    while (position > 0) {
        const std::streamoff blockSize = std::min<std::streamoff>(position, kLogBlockBytes);
        position -= blockSize;
        std::string block(static_cast<std::size_t>(blockSize), '\0');
        in.seekg(position);
        in.read(block.data(), blockSize);
        block += partial;
        std::size_t end = block.size();
        // The last line of the file is left out when it has no newline yet:
        // the writer may be half-way through it.
        if (first) {
            const std::size_t lastNewline = block.rfind('\n');
            if (lastNewline == std::string::npos) continue;
            end = lastNewline;
            first = false;
        }
        std::size_t newline;
        while (end > 0 && (newline = block.rfind('\n', end - 1)) != std::string::npos) {
            lines.push_front(block.substr(newline + 1, end - newline - 1));
            end = newline;
            if (enough(lines.front())) return lines;
        }
        partial = block.substr(0, end);
        if (partial.size() > kMaxLogLineBytes) partial.clear();
    }
    if (!partial.empty()) lines.push_front(partial);
    return lines;
}

std::optional<std::int64_t> startOf(const nlohmann::ordered_json& event) {
    const auto start = event.find("start");
    if (start == event.end() || !start->is_string()) return std::nullopt;
    return parseIsoTime(start->get<std::string>());
}

nlohmann::ordered_json parsedEvent(const std::string& line) {
    nlohmann::ordered_json event = nlohmann::ordered_json::parse(line, nullptr, false);
    if (!event.is_object()) return nlohmann::ordered_json();
    return event;
}

// The name of the event's file of `kind` beside its clip (the clip's name
// with `extension`) when it is a regular file in `folder`, else null.
nlohmann::ordered_json companionFor(const nlohmann::ordered_json& event, const std::string& folder,
                                    const std::string& extension, EventFileKind kind) {
    const auto file = event.find("file");
    if (file == event.end() || !file->is_string()) return nullptr;
    const std::string companion = stemOf(file->get<std::string>()) + extension;
    if (!isEventFileName(companion, kind)) return nullptr;
    struct stat info {};
    if (::lstat((folder + "/" + companion).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
    return companion;
}

}  // namespace

bool isEventFileName(const std::string& name, EventFileKind kind) {
    const Extension* extension = extensionOf(name);
    if (extension == nullptr || extension->kind != kind) return false;
    const std::size_t stemEnd = name.size() - extension->text.size();
    if (stemEnd <= kPrefix.size() || name.compare(0, kPrefix.size(), kPrefix) != 0) return false;
    for (std::size_t i = kPrefix.size(); i < stemEnd; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])) && name[i] != '_') return false;
    }
    return true;
}

std::string eventFileContentType(const std::string& name) {
    const Extension* extension = extensionOf(name);
    return extension != nullptr ? extension->contentType : "application/octet-stream";
}

OpenFile::~OpenFile() { ::close(fd); }

ssize_t OpenFile::readAt(char* buffer, std::size_t length, std::uint64_t offset) const {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = ::pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return done > 0 ? static_cast<ssize_t>(done) : got;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

std::shared_ptr<OpenFile> openEventFile(const std::string& folder, const std::string& name, EventFileKind kind) {
    if (!isEventFileName(name, kind)) return nullptr;
    const std::string path = folder + "/" + name;
    struct stat linkInfo {};
    if (::lstat(path.c_str(), &linkInfo) != 0 || !S_ISREG(linkInfo.st_mode)) return nullptr;
    // O_NOFOLLOW refuses a link swapped in since the lstat; O_NONBLOCK keeps
    // a FIFO swapped in from holding the thread, and fstat refuses it.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (file.get() < 0) return nullptr;
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
    return std::make_shared<OpenFile>(file.release(), static_cast<std::uint64_t>(info.st_size));
}

bool rangesSatisfiable(const ByteRanges& ranges, std::uint64_t size) {
    if (ranges.size() > kMaxRanges) return false;
    for (const auto& [first, last] : ranges) {
        if (first < 0 && last < 0) return false;
        if (first < 0) {
            if (last == 0 || size == 0) return false;  // a suffix of nothing
            continue;
        }
        if (static_cast<std::uint64_t>(first) >= size) return false;
        if (last >= 0 && last < first) return false;
    }
    return true;
}

std::optional<std::int64_t> parseIsoTime(const std::string& text) {
    std::tm parts{};
    int year = 0;
    if (text.size() < 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':') {
        return std::nullopt;
    }
    int century = 0;
    int yy = 0;
    if (!twoDigits(text, 0, century) || !twoDigits(text, 2, yy) || !twoDigits(text, 5, parts.tm_mon) ||
        !twoDigits(text, 8, parts.tm_mday) || !twoDigits(text, 11, parts.tm_hour) ||
        !twoDigits(text, 14, parts.tm_min) || !twoDigits(text, 17, parts.tm_sec)) {
        return std::nullopt;
    }
    year = century * 100 + yy;
    if (parts.tm_mon < 1 || parts.tm_mon > 12 || parts.tm_mday < 1 || parts.tm_mday > 31 || parts.tm_hour > 23 ||
        parts.tm_min > 59 || parts.tm_sec > 60) {
        return std::nullopt;
    }
    parts.tm_year = year - 1900;
    parts.tm_mon -= 1;
    std::size_t at = 19;
    int millis = 0;
    if (at < text.size() && text[at] == '.') {
        int digits = 0;
        for (++at; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at, ++digits) {
            if (digits < 3) millis = millis * 10 + (text[at] - '0');
        }
        if (digits == 0) return std::nullopt;
        for (; digits < 3; ++digits) millis *= 10;
    }
    long offset = 0;
    if (!parseOffset(text, at, offset)) return std::nullopt;
    const std::int64_t seconds = static_cast<std::int64_t>(timegm(&parts)) - offset;
    return seconds * 1000 + millis;
}

nlohmann::ordered_json recentEvents(const std::string& logPath, const std::string& folder, const EventQuery& query) {
    const std::size_t limit = std::min(query.limit, kMaxEventsListed);
    nlohmann::ordered_json events = nlohmann::ordered_json::array();
    if (limit == 0) return events;
    std::size_t kept = 0;
    // Counts, newest first, the lines that will be listed, and stops the
    // reading once enough are found or the lines are older than `since`.
    auto enough = [&](const std::string& line) {
        const nlohmann::ordered_json event = parsedEvent(line);
        if (event.is_null()) return false;
        const auto start = startOf(event);
        if (query.sinceMs && start && *start <= *query.sinceMs) return true;
        return ++kept >= limit;
    };
    const std::deque<std::string> lines = tailLines(logPath, enough);
    for (auto line = lines.rbegin(); line != lines.rend() && events.size() < limit; ++line) {
        nlohmann::ordered_json event = parsedEvent(*line);
        if (event.is_null()) continue;
        const auto start = startOf(event);
        if (query.sinceMs && (!start || *start <= *query.sinceMs)) continue;
        event["snapshot"] = companionFor(event, folder, kSnapshotExtension, EventFileKind::Snapshot);
        event["boxes"] = companionFor(event, folder, kBoxesExtension, EventFileKind::Boxes);
        events.push_back(std::move(event));
    }
    return events;
}

}  // namespace tarvolen
