#include "events/Snapshot.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include <opencv2/imgcodecs.hpp>

namespace tarvolen {
namespace {

namespace fs = std::filesystem;

// Written under a name no reader takes for a snapshot, then renamed, so that
// nobody sees half a picture.
fs::path temporaryPathFor(const fs::path& path) {
    return path.parent_path() / ("." + path.filename().string() + ".part");
}

// Why the picture could not be written to `path`; empty when it was.
std::string writeJpeg(const std::string& path, const cv::Mat& picture) {
    std::vector<uchar> bytes;
    if (!cv::imencode(".jpg", picture, bytes, {cv::IMWRITE_JPEG_QUALITY, SnapshotWriter::kJpegQuality}))
        return "cannot be encoded";
    const fs::path temporary = temporaryPathFor(path);
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            return "cannot be written";
        }
    }
    std::error_code error;
    fs::rename(temporary, path, error);
    if (error) {
        fs::remove(temporary, error);
        return "cannot be written";
    }
    return "";
}

}  // namespace

std::string snapshotPathFor(const std::string& clipPath) {
    return fs::path(clipPath).replace_extension(".jpg").string();
}

SnapshotWriter::SnapshotWriter(LineSink sink) : say(std::move(sink)) {
    worker = std::thread([this] { work(); });
}

SnapshotWriter::~SnapshotWriter() { finish(); }

void SnapshotWriter::finish() {
    jobs.close();
    if (worker.joinable()) worker.join();
}

void SnapshotWriter::write(const std::string& path, cv::Mat picture) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        outcomes[path] = std::nullopt;
    }
    if (jobs.tryPush(Job{path, std::move(picture)})) return;
    say("Snapshot not written: " + path + ": too many waiting");
    settle(path, false);
}

bool SnapshotWriter::pending(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = outcomes.find(path);
    return it != outcomes.end() && !it->second;
}

std::optional<bool> SnapshotWriter::take(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = outcomes.find(path);
    if (it == outcomes.end() || !it->second) return std::nullopt;
    const bool written = *it->second;
    outcomes.erase(it);
    return written;
}

void SnapshotWriter::settle(const std::string& path, bool written) {
    std::lock_guard<std::mutex> lock(mutex);
    outcomes[path] = written;
}

void SnapshotWriter::work() {
    while (std::optional<Job> job = jobs.pop()) {
        std::string failure;
        try {
            failure = writeJpeg(job->path, job->picture);
        } catch (const std::exception& error) {
            failure = error.what();
        }
        if (!failure.empty()) say("Snapshot not written: " + job->path + ": " + failure);
        settle(job->path, failure.empty());
    }
}

}  // namespace tarvolen
