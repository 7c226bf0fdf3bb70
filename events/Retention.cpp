#include "events/Retention.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
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

enum class Kind { Clip, Snapshot, Boxes };

struct Extension {
    std::string_view text;
    Kind kind;
};

// A clip's box file (the boxes of its detected frames, beside a copied clip)
// belongs to the clip: it goes when the clip goes, never before.
const Extension kExtensions[] = {
    {".avi", Kind::Clip}, {".mp4", Kind::Clip}, {".mkv", Kind::Clip}, {".jpg", Kind::Snapshot},
    {".boxes.json", Kind::Boxes},
};
// "DD_MM_YYYY_HH_MM_SS": digits in these groups, underscores between them.
const int kStampGroups[] = {2, 2, 4, 2, 2, 2};

bool allDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

bool endsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

const Extension* extensionOf(std::string_view name) {
    for (const Extension& extension : kExtensions)
        if (endsWith(name, extension.text)) return &extension;
    return nullptr;
}

// The name without its extension: what a clip, its snapshot and its box
// file share.
std::string_view stemOf(std::string_view name) {
    const Extension* extension = extensionOf(name);
    return extension != nullptr ? name.substr(0, name.size() - extension->text.size()) : name;
}

// What a sweep deletes in one go: a clip with its box file, a snapshot, or
// a box file whose clip is gone.
struct EventFile {
    std::string name;
    std::uint64_t bytes = 0;  // its own
    system_clock::time_point modified;
    Kind kind = Kind::Clip;
    std::string boxes;  // a clip's box file; empty when none
    std::uint64_t boxesBytes = 0;
    std::uint64_t totalBytes() const { return bytes + boxesBytes; }
};

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

system_clock::time_point modifiedAt(const struct stat& st) {
    return system_clock::time_point(std::chrono::duration_cast<system_clock::duration>(
        std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
}

// Puts each box file with the clip of its name (the newest, should there be
// several), so that both go together; a box file without a clip stays on
// its own.
std::vector<EventFile> withBoxesInTheirClips(std::vector<EventFile> files) {
    std::map<std::string_view, std::size_t> clipOfStem;
    for (std::size_t i = 0; i < files.size(); ++i)
        if (files[i].kind == Kind::Clip) clipOfStem[stemOf(files[i].name)] = i;
    std::vector<bool> joined(files.size(), false);
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i].kind != Kind::Boxes) continue;
        const auto clip = clipOfStem.find(stemOf(files[i].name));
        if (clip == clipOfStem.end()) continue;
        files[clip->second].boxes = files[i].name;
        files[clip->second].boxesBytes = files[i].bytes;
        joined[i] = true;
    }
    std::vector<EventFile> units;
    for (std::size_t i = 0; i < files.size(); ++i)
        if (!joined[i]) units.push_back(std::move(files[i]));
    return units;
}

// The event files of an open folder, oldest first, box files with their
// clips; links and anything but regular files are left out.
std::vector<EventFile> listEventFiles(DIR* dir) {
    std::vector<EventFile> files;
    while (const dirent* entry = readdir(dir)) {
        if (!isEventFileName(entry->d_name)) continue;
        struct stat st {};
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        EventFile file;
        file.name = entry->d_name;
        file.bytes = static_cast<std::uint64_t>(st.st_size);
        file.modified = modifiedAt(st);
        file.kind = extensionOf(file.name)->kind;
        files.push_back(std::move(file));
    }
    std::sort(files.begin(), files.end(), [](const EventFile& a, const EventFile& b) {
        return std::tie(a.modified, a.name) < std::tie(b.modified, b.name);
    });
    return withBoxesInTheirClips(std::move(files));
}

std::uint64_t largestClip(const std::vector<EventFile>& files) {
    std::uint64_t largest = 0;
    for (const EventFile& file : files)
        if (file.kind == Kind::Clip) largest = std::max(largest, file.totalBytes());
    return largest;
}

// Deletes a file and then, for a clip, its box file; false when the file
// itself stays. `freed` gets the bytes deleted.
bool deleteUnit(int folderFd, const EventFile& file, std::uint64_t& freed) {
    freed = 0;
    if (unlinkat(folderFd, file.name.c_str(), 0) != 0) return false;
    freed = file.bytes;
    if (!file.boxes.empty() && unlinkat(folderFd, file.boxes.c_str(), 0) == 0) freed += file.boxesBytes;
    return true;
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

bool isEventClipName(std::string_view name) {
    const Extension* extension = extensionOf(name);
    return extension != nullptr && extension->kind == Kind::Clip && isEventFileName(name);
}

bool isEventFileName(std::string_view name) {
    if (name.substr(0, std::string_view(kPrefix).size()) != kPrefix || extensionOf(name) == nullptr) return false;
    std::string_view rest = stemOf(name).substr(std::string_view(kPrefix).size());
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
    for (const EventFile& file : files) result.keptBytes += file.totalBytes();
    result.kept = static_cast<int>(files.size());
    // Nothing of an event whose clip is kept: not its box file either.
    std::set<std::string_view> keptStems;
    for (const std::string& name : keep) keptStems.insert(stemOf(name));
    const bool watchRoom = rules.maxFolderBytes > 0 && rules.minFreeBytes > 0 && freeBytes;
    const std::uint64_t roomWanted = watchRoom ? std::max(rules.minFreeBytes, largestClip(files)) : 0;
    std::uint64_t room = watchRoom ? freeBytes(folder) : 0;
    for (const EventFile& file : files) {
        const bool old = rules.maxAge.count() > 0 && now - file.modified > rules.maxAge;
        const bool over = rules.maxFolderBytes > 0 && result.keptBytes > rules.maxFolderBytes;
        const bool cramped = watchRoom && room < roomWanted;
        // Oldest first: once a file may stay for every reason, so may the rest.
        if (!old && !over && !cramped) break;
        if (keptStems.count(stemOf(file.name)) > 0) continue;
        std::uint64_t freed = 0;
        if (!deleteUnit(dirfd(dir.get()), file, freed)) continue;
        result.forAge = result.forAge || old;
        result.forCap = result.forCap || (over && !old);
        result.forRoom = result.forRoom || (cramped && !old && !over);
        (file.kind == Kind::Clip ? result.clips : file.kind == Kind::Snapshot ? result.snapshots : result.boxes) += 1;
        result.bytes += freed;
        result.keptBytes -= freed;
        --result.kept;
        room += freed;
    }
    result.fits = !(rules.maxFolderBytes > 0 && result.keptBytes > rules.maxFolderBytes) &&
                  !(watchRoom && room < roomWanted);
    return result;
}

std::string describeSweep(const SweepResult& result, const std::string& folder, const RetentionRules& rules) {
    std::vector<std::string> items;
    if (result.clips > 0) items.push_back(count(result.clips, "clip", "clips"));
    if (result.snapshots > 0) items.push_back(count(result.snapshots, "snapshot", "snapshots"));
    if (result.boxes > 0) items.push_back(count(result.boxes, "box file", "box files"));
    if (items.empty()) return "";
    std::string what;
    for (std::size_t i = 0; i < items.size(); ++i)
        what += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
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
