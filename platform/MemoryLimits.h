// How much memory this process may still take, and whether the buffers of a
// frame size fit in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarvolen {

// What bounds the memory this process may still take, in bytes; each absent
// when unknown or unlimited.
struct MemoryLimits {
    std::optional<std::uint64_t> available;     // memory the system can give without swapping
    std::optional<std::uint64_t> addressSpace;  // RLIMIT_AS less the address space in use
    std::optional<std::uint64_t> dataSegment;   // RLIMIT_DATA less the data in use
    std::optional<std::uint64_t> controlGroup;  // the tightest cgroup memory limit less its usage

    // The smallest of them; absent when none is known.
    std::optional<std::uint64_t> tightest() const;
};

// The limits of this process now.
MemoryLimits currentMemoryLimits();

// The size in bytes of a "Name:   123 kB" line of /proc/meminfo or
// /proc/self/status text.
std::optional<std::uint64_t> kilobyteField(const std::string& text, const std::string& name);

// The cgroup folders of the memory controller named by /proc/self/cgroup
// text, for version 2 (below `unifiedRoot`) and version 1 (below
// `memoryRoot`), innermost first and up to the root: every one of them may
// hold a limit.
struct CgroupFolder {
    std::string path;
    bool version2;
};
std::vector<CgroupFolder> cgroupMemoryFolders(const std::string& procCgroup, const std::string& unifiedRoot,
                                              const std::string& memoryRoot);

// One line refusing width x height frames when `bytesPerPixel` for each of
// their pixels is more than `limits` allow; nothing when they fit.
std::optional<std::string> frameSizeRefusal(int width, int height, std::size_t bytesPerPixel,
                                            const MemoryLimits& limits);

// Refuses width x height frames whose `bytesPerPixel` this machine cannot
// hold; then runs
// `allocate` (which sizes the frame buffers now) and refuses the size when an
// allocation fails in it (std::bad_alloc, or OpenCV's out-of-memory error).
std::optional<std::string> reserveFrameBuffers(int width, int height, std::size_t bytesPerPixel,
                                               const std::function<void()>& allocate);

}  // namespace tarvolen
