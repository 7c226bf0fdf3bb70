#include "events/Retention.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <memory>
#include <sstream>
#include <tuple>

#include "media/DiskGuard.h"
#include "platform/Units.h"

namespace tarvolen {
namespace {

using std::chrono::system_clock;

constexpr std::uint64_t kBytesPerMb = 1024 * 1024;
constexpr double kSecondsPerDay = 86400.0;
// With a cap, at least this much is kept free on the disk.
constexpr std::uint64_t kMinFreeBytesWithCap = 64 * kBytesPerMb;
const char* const kPrefix = "event_";
const char* const kExtensions[] = {".avi", ".mp4", ".jpg"};
const char* const kSnapshotExtension = ".jpg";
// "DD_MM_YYYY_HH_MM_SS": digits in these groups, underscores between them.
const int kStampGroups[] = {2, 2, 4, 2, 2, 2};

bool allDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

bool endsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

struct EventFile {
    std::string name;
    std::uint64_t bytes = 0;
    system_clock::time_point modified;
    bool snapshot = false;
};

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

system_clock::time_point modifiedAt(const struct stat& st) {
    return system_clock::time_point(std::chrono::duration_cast<system_clock::duration>(
        std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
}

// The event files of an open folder, oldest first; links and anything but
// regular files are left out.
std::vector<EventFile> listEventFiles(DIR* dir) {
    std::vector<EventFile> files;
    while (const dirent* entry = readdir(dir)) {
        if (!isEventFileName(entry->d_name)) continue;
        struct stat st {};
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        files.push_back(EventFile{entry->d_name, static_cast<std::uint64_t>(st.st_size), modifiedAt(st),
                                  endsWith(entry->d_name, kSnapshotExtension)});
    }
    std::sort(files.begin(), files.end(), [](const EventFile& a, const EventFile& b) {
        return std::tie(a.modified, a.name) < std::tie(b.modified, b.name);
    });
    return files;
}

std::uint64_t largestClip(const std::vector<EventFile>& files) {
    std::uint64_t largest = 0;
    for (const EventFile& file : files)
        if (!file.snapshot) largest = std::max(largest, file.bytes);
    return largest;
}

std::string count(int n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string plainNumber(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

}  // namespace

bool isEventFileName(std::string_view name) {
    if (name.substr(0, std::string_view(kPrefix).size()) != kPrefix) return false;
    const char* const* extension = std::find_if(std::begin(kExtensions), std::end(kExtensions),
                                                [name](const char* e) { return endsWith(name, e); });
    if (extension == std::end(kExtensions)) return false;
    std::string_view rest =
        name.substr(std::string_view(kPrefix).size(),
                    name.size() - std::string_view(kPrefix).size() - std::string_view(*extension).size());
    for (std::size_t i = 0; i < std::size(kStampGroups); ++i) {
        const std::size_t width = static_cast<std::size_t>(kStampGroups[i]);
        if (rest.size() < width || !allDigits(rest.substr(0, width))) return false;
        rest.remove_prefix(width);
        if (i + 1 < std::size(kStampGroups)) {
            if (rest.empty() || rest.front() != '_') return false;
            rest.remove_prefix(1);
        }
    }
    if (rest.empty()) return true;
    // "_N": the second and later clip of one second, from 2 on.
    return rest.size() >= 2 && rest.front() == '_' && allDigits(rest.substr(1)) && rest[1] != '0';
}

RetentionRules retentionRules(double maxFolderMb, double maxAgeDays) {
    RetentionRules rules;
    rules.maxFolderBytes = static_cast<std::uint64_t>(std::llround(maxFolderMb * kBytesPerMb));
    rules.maxAge = std::chrono::seconds(std::llround(maxAgeDays * kSecondsPerDay));
    rules.minFreeBytes = rules.maxFolderBytes > 0 ? kMinFreeBytesWithCap : 0;
    rules.shownMb = maxFolderMb;
    rules.shownDays = maxAgeDays;
    return rules;
}

SweepResult sweepEventFolder(const std::string& folder, const RetentionRules& rules, system_clock::time_point now,
                             const std::set<std::string>& keep, const FreeSpaceProbe& freeBytes) {
    SweepResult result;
    const DirHandle dir(opendir(folder.c_str()));
    if (!dir) return result;
    const std::vector<EventFile> files = listEventFiles(dir.get());
    for (const EventFile& file : files) result.keptBytes += file.bytes;
    result.kept = static_cast<int>(files.size());
    const bool watchRoom = rules.maxFolderBytes > 0 && rules.minFreeBytes > 0 && freeBytes;
    const std::uint64_t roomWanted = watchRoom ? std::max(rules.minFreeBytes, largestClip(files)) : 0;
    std::uint64_t room = watchRoom ? freeBytes(folder) : 0;
    for (const EventFile& file : files) {
        const bool old = rules.maxAge.count() > 0 && now - file.modified > rules.maxAge;
        const bool over = rules.maxFolderBytes > 0 && result.keptBytes > rules.maxFolderBytes;
        const bool cramped = watchRoom && room < roomWanted;
        // Oldest first: once a file may stay for every reason, so may the rest.
        if (!old && !over && !cramped) break;
        if (keep.count(file.name) > 0) continue;
        if (unlinkat(dirfd(dir.get()), file.name.c_str(), 0) != 0) continue;
        result.forAge = result.forAge || old;
        result.forCap = result.forCap || (over && !old);
        result.forRoom = result.forRoom || (cramped && !old && !over);
        (file.snapshot ? result.snapshots : result.clips) += 1;
        result.bytes += file.bytes;
        result.keptBytes -= file.bytes;
        --result.kept;
        room += file.bytes;
    }
    result.fits = !(rules.maxFolderBytes > 0 && result.keptBytes > rules.maxFolderBytes) &&
                  !(watchRoom && room < roomWanted);
    return result;
}

std::string describeSweep(const SweepResult& result, const std::string& folder, const RetentionRules& rules) {
    if (result.clips + result.snapshots == 0) return "";
    std::string what;
    if (result.clips > 0) what = count(result.clips, "clip", "clips");
    if (result.snapshots > 0)
        what += (what.empty() ? "" : " and ") + count(result.snapshots, "snapshot", "snapshots");
    std::vector<std::string> why;
    if (result.forAge) {
        const double days =
            rules.shownDays > 0 ? rules.shownDays : static_cast<double>(rules.maxAge.count()) / kSecondsPerDay;
        why.push_back("older than " + plainNumber(days) + (days == 1.0 ? " day" : " days"));
    }
    if (result.forCap)
        why.push_back("to keep " + folder + " under " +
                      plainNumber(rules.shownMb > 0 ? rules.shownMb
                                                    : static_cast<double>(rules.maxFolderBytes) / kBytesPerMb) +
                      " MB");
    if (result.forRoom) why.push_back("to keep room on its disk");
    std::string line = "Retention: deleted " + what + " (" + humanBytes(result.bytes) + ")";
    for (std::size_t i = 0; i < why.size(); ++i) line += (i == 0 ? " " : " and ") + why[i];
    return line;
}

Retention::Retention(std::string f, RetentionRules r, LineSink sink, RetentionClocks c, FreeSpaceProbe probe)
    : folder(std::move(f)),
      rules(r),
      say(std::move(sink)),
      clocks(std::move(c)),
      freeBytes(probe ? std::move(probe)
                      : FreeSpaceProbe([](const std::string& path) { return DiskGuard::probeFolder(path).freeBytes; })),
      lastRequest(clocks.steady()) {
    worker = std::thread([this] { work(); });
    request();  // what earlier runs left
}

Retention::~Retention() {
    requests.close();
    worker.join();
}

void Retention::protect(const std::string& name) {
    std::lock_guard<std::mutex> lock(protectedMutex);
    protectedNames.insert(name);
}

void Retention::release(const std::string& name) {
    std::lock_guard<std::mutex> lock(protectedMutex);
    protectedNames.erase(name);
}

void Retention::tick() {
    const std::chrono::steady_clock::time_point now = clocks.steady();
    if (now - lastRequest < kSweepInterval) return;
    lastRequest = now;
    request();
}

void Retention::request() {
    {
        std::lock_guard<std::mutex> lock(idleMutex);
        ++unfinished;
    }
    if (requests.tryPush(0)) return;
    // One is waiting already: it will see what this one would have.
    {
        std::lock_guard<std::mutex> lock(idleMutex);
        --unfinished;
    }
    idleChanged.notify_all();
}

SweepResult Retention::sweepNow() {
    std::lock_guard<std::mutex> sweeping(sweepMutex);
    std::set<std::string> keep;
    {
        std::lock_guard<std::mutex> lock(protectedMutex);
        keep = protectedNames;
    }
    const SweepResult result = sweepEventFolder(folder, rules, clocks.wall(), keep, freeBytes);
    filesDeleted += static_cast<std::uint64_t>(result.clips + result.snapshots);
    bytesDeleted += result.bytes;
    const std::string line = describeSweep(result, folder, rules);
    if (!line.empty()) say(line);
    return result;
}

void Retention::waitIdle() {
    std::unique_lock<std::mutex> lock(idleMutex);
    idleChanged.wait(lock, [this] { return unfinished == 0; });
}

void Retention::work() {
    while (requests.pop()) {
        try {
            sweepNow();
        } catch (const std::exception& error) {
            say(std::string("Retention: sweep failed: ") + error.what());
        }
        {
            std::lock_guard<std::mutex> lock(idleMutex);
            --unfinished;
        }
        idleChanged.notify_all();
    }
}

}  // namespace tarvolen
