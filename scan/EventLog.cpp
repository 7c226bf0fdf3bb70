#include "scan/EventLog.h"

#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include "draw/Timecode.h"

namespace tarvolen {

std::string eventJsonLine(const std::string& file, const EventRecord& e) {
    nlohmann::ordered_json line;
    line["file"] = file;
    line["event"] = e.number;
    line["start_frame"] = e.startFrame;
    line["end_frame"] = e.endFrame;
    line["start_ms"] = wholeMilliseconds(e.startMs);
    line["end_ms"] = wholeMilliseconds(e.endMs);
    line["start"] = formatTimecode(e.startMs);
    line["end"] = formatTimecode(e.endMs);
    line["active_frames"] = e.activeFrames;
    line["max_objects"] = e.maxObjects;
    line["bbox"] = {e.bbox.x, e.bbox.y, e.bbox.width, e.bbox.height};
    // A file name that is not UTF-8 is kept readable rather than refused.
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool EventLog::open(const std::string& p) {
    path = p;
    errno = 0;
    out.open(path, std::ios::out | std::ios::trunc);
    return out.is_open() || fail("cannot create");
}

bool EventLog::append(const std::string& line) {
    errno = 0;
    out << line << '\n';
    out.flush();
    return out.good() || fail("cannot write");
}

bool EventLog::close() {
    if (!out.is_open()) return problem.empty();
    errno = 0;
    out.close();
    return !out.fail() || fail("cannot finish");
}

bool EventLog::fail(const char* what) {
    if (problem.empty()) {
        problem = std::string(what) + " " + path;
        if (errno != 0) problem += ": " + std::string(std::strerror(errno));
    }
    return false;
}

}  // namespace tarvolen
