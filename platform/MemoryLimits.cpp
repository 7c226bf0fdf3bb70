#include "platform/MemoryLimits.h"

#include <sys/resource.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <new>
#include <sstream>

#include <opencv2/core.hpp>

#include "platform/Units.h"

namespace tarvolen {
namespace {

constexpr std::uint64_t kKilobyte = 1024;
// Address space taken besides the frame buffers as the program runs: thread
// stacks and the allocator's per-thread arenas.
constexpr std::uint64_t kAddressSpaceHeadroom = 512ull * 1024 * 1024;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<std::uint64_t> readNumber(const std::string& path) {
    std::ifstream in(path);
    std::uint64_t value = 0;
    if (in >> value) return value;
    return std::nullopt;  // absent, or "max"
}

// A resource limit less what is in use; absent when unlimited.
std::optional<std::uint64_t> limitLeft(int resource, std::optional<std::uint64_t> inUse,
                                       std::uint64_t headroom) {
    struct rlimit limit {};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    const std::uint64_t taken = inUse.value_or(0) + headroom;
    const std::uint64_t cap = static_cast<std::uint64_t>(limit.rlim_cur);
    return cap > taken ? cap - taken : 0;
}

std::optional<std::uint64_t> controlGroupLeft() {
    std::optional<std::uint64_t> tightest;
    for (const CgroupFolder& folder :
         cgroupMemoryFolders(readFile("/proc/self/cgroup"), "/sys/fs/cgroup", "/sys/fs/cgroup/memory")) {
        const std::optional<std::uint64_t> limit =
            readNumber(folder.path + (folder.version2 ? "/memory.max" : "/memory.limit_in_bytes"));
        const std::optional<std::uint64_t> usage =
            readNumber(folder.path + (folder.version2 ? "/memory.current" : "/memory.usage_in_bytes"));
        // Version 1 writes "no limit" as a huge number.
        if (!limit || *limit >= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() / 2))
            continue;
        const std::uint64_t left = *limit > usage.value_or(0) ? *limit - usage.value_or(0) : 0;
        tightest = std::min(tightest.value_or(left), left);
    }
    return tightest;
}

bool isOutOfMemory(const cv::Exception& e) { return e.code == cv::Error::StsNoMem; }

std::string sizeText(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

}  // namespace

std::optional<std::uint64_t> MemoryLimits::tightest() const {
    std::optional<std::uint64_t> least;
    for (const std::optional<std::uint64_t>& bound : {available, addressSpace, dataSegment, controlGroup}) {
        if (bound) least = std::min(least.value_or(*bound), *bound);
    }
    return least;
}

std::optional<std::uint64_t> kilobyteField(const std::string& text, const std::string& name) {
    std::istringstream lines(text);
    std::string line;
    const std::string key = name + ":";
    while (std::getline(lines, line)) {
        if (line.compare(0, key.size(), key) != 0) continue;
        std::istringstream value(line.substr(key.size()));
        std::uint64_t kilobytes = 0;
        std::string unit;
        if (!(value >> kilobytes >> unit) || unit != "kB") return std::nullopt;
        return kilobytes * kKilobyte;
    }
    return std::nullopt;
}

std::vector<CgroupFolder> cgroupMemoryFolders(const std::string& procCgroup, const std::string& unifiedRoot,
                                              const std::string& memoryRoot) {
    std::vector<CgroupFolder> folders;
    std::istringstream lines(procCgroup);
    std::string line;
    while (std::getline(lines, line)) {
        // hierarchy-id:controllers:path
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        const bool version2 = line.compare(0, first, "0") == 0 && controllers.empty();
        bool memory = false;
        std::istringstream names(controllers);
        for (std::string name; std::getline(names, name, ',');) memory = memory || name == "memory";
        if (!version2 && !memory) continue;
        const std::string& root = version2 ? unifiedRoot : memoryRoot;
        for (;;) {
            while (path.size() > 1 && path.back() == '/') path.pop_back();
            folders.push_back(CgroupFolder{path == "/" ? root : root + path, version2});
            if (path == "/" || path.empty()) break;
            path = path.substr(0, std::max<std::size_t>(path.rfind('/'), 1));
        }
    }
    return folders;
}

MemoryLimits currentMemoryLimits() {
    const std::string status = readFile("/proc/self/status");
    MemoryLimits limits;
    limits.available = kilobyteField(readFile("/proc/meminfo"), "MemAvailable");
    limits.addressSpace = limitLeft(RLIMIT_AS, kilobyteField(status, "VmSize"), kAddressSpaceHeadroom);
    limits.dataSegment = limitLeft(RLIMIT_DATA, kilobyteField(status, "VmData"), kAddressSpaceHeadroom);
    limits.controlGroup = controlGroupLeft();
    return limits;
}

std::optional<std::string> frameSizeRefusal(int width, int height, std::size_t bytesPerPixel,
                                            const MemoryLimits& limits) {
    const std::optional<std::uint64_t> room = limits.tightest();
    if (!room || width < 1 || height < 1) return std::nullopt;
    // Sizes come from ints, so the pixel count fits; the byte count may not.
    const std::uint64_t pixels = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    const bool overflows =
        bytesPerPixel != 0 && pixels > std::numeric_limits<std::uint64_t>::max() / bytesPerPixel;
    const std::uint64_t needed =
        overflows ? std::numeric_limits<std::uint64_t>::max() : pixels * bytesPerPixel;
    if (needed <= *room) return std::nullopt;
    return "Frame size " + sizeText(width, height) + " too large: needs about " + humanBytes(needed) +
           " of memory, " + humanBytes(*room) + " available";
}

std::optional<std::string> reserveFrameBuffers(int width, int height, std::size_t bytesPerPixel,
                                               const std::function<void()>& allocate) {
    if (std::optional<std::string> refusal =
            frameSizeRefusal(width, height, bytesPerPixel, currentMemoryLimits())) {
        return refusal;
    }
    const std::string cannot =
        "Frame size " + sizeText(width, height) + " too large: its buffers cannot be allocated";
    try {
        allocate();
    } catch (const std::bad_alloc&) {
        return cannot;
    } catch (const cv::Exception& e) {
        if (!isOutOfMemory(e)) throw;
        return cannot;
    }
    return std::nullopt;
}

}  // namespace tarvolen
