#include "watch/StatusFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

namespace tarvolen {
namespace {

namespace fs = std::filesystem;

// Readable by the monitoring scripts of other users, as a status is meant to be.
constexpr mode_t kStatusFileMode = 0644;

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Closes the descriptor and removes the temporary file unless it was renamed.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& pattern) : name(pattern.begin(), pattern.end()) {
        name.push_back('\0');
        fd = mkstemp(name.data());
        created = fd >= 0;
    }
    ~TemporaryFile() {
        if (fd >= 0) ::close(fd);
        if (created && !renamed) unlink(name.data());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool opened() const { return fd >= 0; }
    int descriptor() const { return fd; }
    const char* path() const { return name.data(); }
    // Closes it; false when the close reports a failed write.
    bool close() {
        const int closing = fd;
        fd = -1;
        return ::close(closing) == 0;
    }
    void markRenamed() { renamed = true; }

private:
    std::vector<char> name;
    int fd = -1;
    bool created = false;
    bool renamed = false;
};

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

std::string writeFileAtomically(const std::string& path, const std::string& text) {
    const fs::path target(path);
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    TemporaryFile temporary((folder / ("." + target.filename().string() + ".XXXXXX")).string());
    if (!temporary.opened()) return errnoText("cannot create a file beside it");
    if (fchmod(temporary.descriptor(), kStatusFileMode) != 0) return errnoText("cannot set its permissions");
    if (!writeAll(temporary.descriptor(), text)) return errnoText("cannot write");
    if (fsync(temporary.descriptor()) != 0) return errnoText("cannot flush it to the disk");
    if (!temporary.close()) return errnoText("cannot write");
    if (std::rename(temporary.path(), path.c_str()) != 0) return errnoText("cannot replace it");
    temporary.markRenamed();
    return "";
}

std::uint64_t folderBytes(const std::string& folder) {
    std::uint64_t total = 0;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::error_code entryError;
        if (!it->is_symlink(entryError) && it->is_regular_file(entryError)) {
            const std::uintmax_t size = it->file_size(entryError);
            if (!entryError) total += size;
        }
    }
    return total;
}

StatusFile::StatusFile(std::string file, std::chrono::milliseconds every, std::string eventFolder,
                       WatchStatusBoard& statusBoard, Report reporter)
    : path(std::move(file)),
      interval(every),
      folder(std::move(eventFolder)),
      board(statusBoard),
      report(std::move(reporter)) {}

StatusFile::~StatusFile() {
    if (!thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    thread.join();
}

std::string StatusFile::writeNow() {
    const std::uint64_t bytes = folderBytes(folder);
    board.update([bytes](WatchStatus& s) { s.folderBytes = bytes; });
    const std::string status = board.json();
    if (onWritten) onWritten(status);
    if (path.empty()) return "";
    return writeFileAtomically(path, status + "\n");
}

void StatusFile::start() {
    if (!thread.joinable()) thread = std::thread(&StatusFile::run, this);
}

void StatusFile::changed() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        writeRequested = true;
    }
    wake.notify_all();
}

// Nothing escapes: a failure is reported and the next round tries again.
void StatusFile::writeAndReport() {
    std::string problem;
    try {
        problem = writeNow();
    } catch (const std::exception& e) {
        problem = e.what();
    }
    if (!problem.empty() && !failing && report) report("Status file not written: " + path + ": " + problem);
    if (problem.empty() && failing && report) report("Status file written again: " + path);
    failing = !problem.empty();
}

void StatusFile::run() {
    for (;;) {
        bool last = false;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait_for(lock, interval, [this] { return writeRequested || stopping; });
            writeRequested = false;
            last = stopping;
        }
        writeAndReport();
        if (last) return;
    }
}

}  // namespace tarvolen
