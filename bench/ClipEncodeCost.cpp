// What a clip costs to write in each format: the writer's time and CPU per
// frame, and the clip's size per second, on real footage scaled to a size.
//   tarvolen_clip_encode_cost FILE WIDTH HEIGHT FRAMES [PRESET CRF]
// Decodes up to FRAMES frames of FILE into memory first (scaled to WIDTH x
// HEIGHT), so that only writing is timed; then writes them once as a
// Motion-JPEG AVI (raw frames, compressed by the writer), once as AVI from
// JPEG bytes (the pre-capture path: nothing compressed again) and once as
// H.264 MP4 (PRESET and CRF, by default the writer's own). Prints one line
// per format: "format WxH ms_per_frame cpu_ms_per_frame bytes_per_second".
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "media/ClipWriter.h"
#include "media/VideoFile.h"

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Footage {
    std::vector<cv::Mat> frames;
    std::vector<std::vector<unsigned char>> jpegs;
    double fps = 25;
};

Footage load(const char* path, cv::Size size, int count) {
    Footage footage;
    std::string why;
    std::unique_ptr<tarvolen::VideoFile> file = tarvolen::VideoFile::open(path, why);
    if (!file) return footage;
    if (file->reportedFps() > 0) footage.fps = file->reportedFps();
    tarvolen::VideoFrame frame;
    while (static_cast<int>(footage.frames.size()) < count && file->read(frame)) {
        cv::Mat scaled;
        cv::resize(frame.picture, scaled, size, 0, 0, cv::INTER_AREA);
        std::vector<unsigned char> jpeg;
        cv::imencode(".jpg", scaled, jpeg, {cv::IMWRITE_JPEG_QUALITY, tarvolen::ClipWriter::kJpegQuality});
        footage.frames.push_back(scaled);
        footage.jpegs.push_back(std::move(jpeg));
    }
    return footage;
}

void report(const char* name, const std::string& path, cv::Size size, const Footage& footage, double wall,
            double cpu) {
    const double n = static_cast<double>(footage.frames.size());
    const double bytes = static_cast<double>(std::filesystem::file_size(path));
    std::printf("%s %dx%d %.2f %.2f %.0f\n", name, size.width, size.height, wall * 1000 / n, cpu * 1000 / n,
                bytes / (n / footage.fps));
}

template <typename Feed>
void timed(const char* name, tarvolen::ClipWriter& writer, const std::string& path, cv::Size size,
           const Footage& footage, Feed feed) {
    if (!writer.open(path, footage.fps, size)) {
        std::fprintf(stderr, "%s\n", writer.failure().c_str());
        return;
    }
    const double cpu0 = cpuSeconds();
    const Clock::time_point start = Clock::now();
    for (std::size_t i = 0; i < footage.frames.size(); ++i) feed(writer, i);
    writer.finish();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    report(name, path, size, footage, wall, cpuSeconds() - cpu0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s FILE WIDTH HEIGHT FRAMES [PRESET CRF]\n", argv[0]);
        return 2;
    }
    tarvolen::VideoFile::quietenLibraryLog();
    const cv::Size size(std::atoi(argv[2]), std::atoi(argv[3]));
    const Footage footage = load(argv[1], size, std::atoi(argv[4]));
    if (footage.frames.empty()) {
        std::fprintf(stderr, "no frames from %s\n", argv[1]);
        return 1;
    }
    tarvolen::H264Settings h264;
    if (argc >= 7) {
        h264.preset = argv[5];
        h264.crf = std::atoi(argv[6]);
    }
    const std::string dir = std::filesystem::temp_directory_path().string();
    tarvolen::ClipWriter raw(tarvolen::ClipFormat::Avi);
    timed("avi-raw", raw, dir + "/tarvolen-cost-raw.avi", size, footage,
          [&](tarvolen::ClipWriter& w, std::size_t i) { w.write(footage.frames[i]); });
    tarvolen::ClipWriter jpeg(tarvolen::ClipFormat::Avi);
    timed("avi-jpeg", jpeg, dir + "/tarvolen-cost-jpeg.avi", size, footage,
          [&](tarvolen::ClipWriter& w, std::size_t i) { w.writeJpeg(footage.jpegs[i]); });
    tarvolen::ClipWriter mp4(tarvolen::ClipFormat::Mp4, h264);
    timed(("mp4-" + h264.preset + "-crf" + std::to_string(h264.crf)).c_str(), mp4, dir + "/tarvolen-cost.mp4", size,
          footage, [&](tarvolen::ClipWriter& w, std::size_t i) { w.write(footage.frames[i]); });
    for (const char* name : {"/tarvolen-cost-raw.avi", "/tarvolen-cost-jpeg.avi", "/tarvolen-cost.mp4"})
        std::filesystem::remove(dir + name);
    return 0;
}
