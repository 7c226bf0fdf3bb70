#include "media/DiskGuard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <limits>

namespace tarvolen {
namespace {

constexpr std::uint64_t kKilo = 1024;
constexpr std::uint64_t kMega = kKilo * kKilo;
constexpr std::uint64_t kGiga = kMega * kKilo;
constexpr std::uint64_t kRawBytesPerPixel = 3;  // colour frames

// A file system that reports no size at all (some network and FUSE ones)
// cannot be watched for room: it counts as roomy.
std::uint64_t freeBytesOf(const struct statvfs& fs) {
    if (fs.f_blocks == 0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(fs.f_bavail) * static_cast<std::uint64_t>(fs.f_frsize);
}

bool linked(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && st.st_nlink > 0;
}

std::uint64_t rawFrameBytes(cv::Size frameSize) {
    return static_cast<std::uint64_t>(std::max(frameSize.width, 1)) *
           static_cast<std::uint64_t>(std::max(frameSize.height, 1)) * kRawBytesPerPixel;
}

std::uint64_t reserveFor(std::uint64_t framesWritten, std::uint64_t bytesPerFrame, std::uint64_t writeStep) {
    return DiskGuard::kFixedMargin +
           DiskGuard::kIndexBytesPerFrame * (framesWritten + DiskGuard::kHeadroomFrames) +
           DiskGuard::kHeadroomFrames * bytesPerFrame + 2 * writeStep;
}

void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

std::string folderOf(const std::string& path) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}


std::optional<std::string> stopReason(const FileSystemState& state, std::uint64_t reserveBytes) {
    if (!state.folderPresent) return std::string("its folder was removed");
    if (!state.fileLinked) return std::string("the file was deleted");
    if (state.readOnly) return std::string("its file system became read-only");
    if (!state.folderWritable) return std::string("its folder is no longer writable");
    if (state.freeBytes < reserveBytes)
        return "the disk is nearly full (" + humanBytes(state.freeBytes) + " left)";
    return std::nullopt;
}

std::optional<std::string> startProblem(const std::string& path, cv::Size frameSize) {
    const FileSystemState folder = DiskGuard::probeFolder(folderOf(path));
    if (!folder.folderPresent) return std::string("its folder does not exist");
    if (folder.readOnly) return std::string("its file system is read-only");
    if (!folder.folderWritable) return std::string("its folder is not writable");
    if (folder.freeBytes < DiskGuard::initialReserve(frameSize))
        return "the disk is nearly full (" + humanBytes(folder.freeBytes) + " left)";
    return std::nullopt;
}

DiskGuard::~DiskGuard() {
    closeFd(fileFd);
    closeFd(folderFd);
}

bool DiskGuard::attach(const std::string& path, cv::Size frameSize) {
    closeFd(fileFd);
    closeFd(folderFd);
    // Descriptors of our own follow the file and the folder even when they
    // are renamed, and tell when they were deleted.
    fileFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    folderFd = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st {};
    if (fileFd < 0 || folderFd < 0 || fstat(fileFd, &st) != 0) {
        closeFd(fileFd);
        closeFd(folderFd);
        return false;
    }
    bytesPerFrame = rawFrameBytes(frameSize);
    writeStep = kAssumedWriteStep;
    lastSize = static_cast<std::uint64_t>(st.st_size);
    framesAtLastSize = 0;
    return true;
}

FileSystemState DiskGuard::probe() const {
    FileSystemState state;
    state.folderPresent = linked(folderFd);
    state.fileLinked = linked(fileFd);
    // Relative to the folder's own descriptor: a renamed folder still counts.
    state.folderWritable = faccessat(folderFd, ".", W_OK, 0) == 0;
    struct statvfs fs {};
    if (fstatvfs(fileFd, &fs) == 0) {
        state.readOnly = (fs.f_flag & ST_RDONLY) != 0;
        state.freeBytes = freeBytesOf(fs);
    }
    return state;
}

FileSystemState DiskGuard::probeFolder(const std::string& folder) {
    FileSystemState state;
    struct stat st {};
    state.folderPresent = stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    state.folderWritable = state.folderPresent && access(folder.c_str(), W_OK) == 0;
    struct statvfs fs {};
    if (state.folderPresent && statvfs(folder.c_str(), &fs) == 0) {
        state.readOnly = (fs.f_flag & ST_RDONLY) != 0;
        state.freeBytes = freeBytesOf(fs);
    }
    return state;
}

// The muxer writes through a buffer, so the file grows in steps that may
// span several frames: the growth of each step is spread over its frames and
// the largest such rate is kept, which errs on the safe side, and so is the
// largest step.
void DiskGuard::learnFrameSize(std::uint64_t framesWritten) {
    struct stat st {};
    if (fstat(fileFd, &st) != 0) return;
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    if (size <= lastSize || framesWritten <= framesAtLastSize) return;
    writeStep = std::max(writeStep, size - lastSize);
    const std::uint64_t rate =
        (size - lastSize + (framesWritten - framesAtLastSize) - 1) / (framesWritten - framesAtLastSize);
    // The first step replaces the raw-size guess; later ones can only raise it.
    bytesPerFrame = framesAtLastSize == 0 ? rate : std::max(bytesPerFrame, rate);
    lastSize = size;
    framesAtLastSize = framesWritten;
}

std::uint64_t DiskGuard::reserveBytes(std::uint64_t framesWritten) const {
    return reserveFor(framesWritten, bytesPerFrame, writeStep);
}

std::uint64_t DiskGuard::initialReserve(cv::Size frameSize) {
    return reserveFor(0, rawFrameBytes(frameSize), kAssumedWriteStep);
}

std::optional<std::string> DiskGuard::check(std::uint64_t framesWritten, std::uint64_t pendingFrames) {
    if (fileFd < 0) return std::string("the file is not open");
    learnFrameSize(framesWritten);
    return stopReason(probe(), reserveBytes(framesWritten) + pendingFrames * bytesPerFrame);
}

}  // namespace tarvolen
