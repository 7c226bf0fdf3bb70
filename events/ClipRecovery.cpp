#include "events/ClipRecovery.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>

#include <nlohmann/json.hpp>

#include "events/EventJson.h"
#include "events/Retention.h"
#include "media/ClipRepair.h"
#include "platform/ProgramGuard.h"

namespace tarvolen {
namespace {

namespace fs = std::filesystem;
using std::chrono::system_clock;

// The end of the log read for the names it holds: far more than the lines
// of the clips a run can have open at once.
constexpr std::streamoff kLogTailBytes = 256 * 1024;
// A clip's last write may come a little after the line of the event before
// it; one written this long before the log's last line was logged.
constexpr std::chrono::seconds kClipLogSlack{60};
const char* const kScratchMark = ".repairing";

std::optional<system_clock::time_point> modifiedAt(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return std::nullopt;
    return system_clock::from_time_t(info.st_mtim.tv_sec) + std::chrono::nanoseconds(info.st_mtim.tv_nsec);
}

// The "file" of each line in the log's last part.
std::set<std::string> namesInLogTail(const std::string& logPath) {
    std::set<std::string> names;
    std::ifstream log(logPath, std::ios::binary);
    if (!log) return names;
    log.seekg(0, std::ios::end);
    const std::streamoff size = log.tellg();
    log.seekg(std::max<std::streamoff>(0, size - kLogTailBytes));
    std::string line;
    while (std::getline(log, line)) {
        const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        if (event.is_object() && event.contains("file") && event["file"].is_string())
            names.insert(event["file"].get<std::string>());
    }
    return names;
}

// "event_DD_MM_YYYY_HH_MM_SS…" as local time.
std::optional<system_clock::time_point> timeInName(const std::string& name) {
    std::tm local{};
    if (std::sscanf(name.c_str(), "event_%2d_%2d_%4d_%2d_%2d_%2d", &local.tm_mday, &local.tm_mon, &local.tm_year,
                    &local.tm_hour, &local.tm_min, &local.tm_sec) != 6)
        return std::nullopt;
    local.tm_mon -= 1;
    local.tm_year -= 1900;
    local.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&local);
    if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
    return system_clock::from_time_t(seconds);
}

double epochMs(system_clock::time_point time) {
    return std::chrono::duration<double, std::milli>(time.time_since_epoch()).count();
}

// Where a repair is written before it replaces the clip: hidden, and named
// as no event file is, so that nothing else takes it for one.
std::string scratchPathFor(const fs::path& clip) {
    return (clip.parent_path() / ("." + clip.stem().string() + kScratchMark + clip.extension().string())).string();
}

void removeLeftScratch(const std::string& folder) {
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(".event_", 0) == 0 && name.find(kScratchMark) != std::string::npos) {
            std::error_code ignored;
            fs::remove(it->path(), ignored);
        }
    }
}

}  // namespace

std::vector<std::string> unloggedClips(const std::string& folder, const std::string& logPath) {
    const std::optional<system_clock::time_point> logged = modifiedAt(logPath);
    const std::set<std::string> named = namesInLogTail(logPath);
    std::vector<std::pair<system_clock::time_point, std::string>> found;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (!isEventClipName(name) || named.count(name) > 0) continue;
        std::error_code kindError;
        if (!it->is_regular_file(kindError) || it->is_symlink(kindError)) continue;
        const std::optional<system_clock::time_point> modified = modifiedAt(it->path().string());
        if (!modified || (logged && *modified < *logged - kClipLogSlack)) continue;
        found.emplace_back(*modified, name);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> names;
    for (auto& [when, name] : found) names.push_back(std::move(name));
    return names;
}

ClipRecovery::ClipRecovery(const std::string& eventFolder, const std::string& logPath,
                           std::function<void(const std::string&)> writeLine, LineSink say,
                           std::function<void(const std::string&)> before, std::function<void(const std::string&)> after)
    : folder(eventFolder),
      logLine(std::move(writeLine)),
      messages(std::move(say)),
      beforeEach(std::move(before)),
      afterEach(std::move(after)) {
    removeLeftScratch(folder);
    std::vector<std::string> clips = unloggedClips(folder, logPath);
    if (clips.empty()) return;
    for (const std::string& name : clips)
        if (beforeEach) beforeEach(name);
    worker = std::thread(&ClipRecovery::run, this, std::move(clips));
}

ClipRecovery::~ClipRecovery() { wait(); }

void ClipRecovery::wait() {
    if (worker.joinable()) worker.join();
}

void ClipRecovery::run(std::vector<std::string> clips) {
    for (const std::string& name : clips) {
        try {
            recover(name);
        } catch (...) {
            if (messages) messages("Interrupted clip not recovered: " + name + ": " + describeCurrentException());
        }
        if (afterEach) afterEach(name);
    }
}

void ClipRecovery::recover(const std::string& name) {
    const fs::path clip = fs::path(folder) / name;
    const ClipRepair repair = repairClip(clip.string(), scratchPathFor(clip));
    if (!repair.rewritten && messages)
        messages("Interrupted clip left as it is: " + clip.string() + " (" + repair.problem + ")");
    EventRecord record;
    record.clipPath = clip.string();
    record.interrupted = true;
    const std::optional<system_clock::time_point> start = repair.created ? repair.created : timeInName(name);
    if (start) {
        record.startMs = epochMs(*start);
        record.endMs = record.startMs + repair.durationMs;
    } else if (const std::optional<system_clock::time_point> modified = modifiedAt(clip.string())) {
        record.startMs = record.endMs = epochMs(*modified);
    }
    logLine(eventJsonLine(EventTimes::WallClock, record));
}

}  // namespace tarvolen
