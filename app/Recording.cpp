#include "app/Recording.h"

#include <filesystem>

#include "draw/Overlays.h"
#include "media/FileNames.h"

namespace tarvolen {
namespace {

constexpr double kRecordingFps = 30.0;  // frames per second, whatever the source's rate

}  // namespace

std::string recordingFileName(const std::tm& localTime) { return timeStampedFileName("record_", localTime); }

Recorder::Recorder(cv::Size size, std::string dir, std::ostream& out)
    : frameSize(size), directory(std::move(dir)), messages(out) {}

Recorder::~Recorder() { stop(); }

bool Recorder::start(const std::tm& localTime) {
    stop();
    const std::filesystem::path dir(directory);  // empty: the working directory
    const std::string name =
        firstFreeName(recordingFileName(localTime), [&dir](const std::string& candidate) {
            std::error_code ignored;
            return std::filesystem::exists(dir / candidate, ignored);
        });
    currentPath = (dir / name).string();
    lastFrames = 0;
    auto opened = std::make_unique<VideoFileWriter>();
    if (!opened->open(currentPath, kRecordingFps, frameSize)) {
        messages << "Recording not started: cannot write " << currentPath << std::endl;
        return false;
    }
    writer = std::move(opened);
    return true;
}

void Recorder::stop() { stopSaying(""); }

void Recorder::stopSaying(const std::string& reason) {
    if (!writer) return;
    writer->finish();
    lastFrames = writer->framesWritten();
    const std::string why = writer->failed() ? writer->failure() : reason;
    if (!why.empty())
        messages << "Recording stopped: " << why << "; " << lastFrames << " frames saved" << std::endl;
    writer.reset();
}

bool Recorder::toggle() {
    if (isRecording()) {
        stop();
        return false;
    }
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return start(local);
}

void Recorder::restartAtSize(cv::Size size) {
    if (size == frameSize) return;
    const bool wasRecording = isRecording();
    stop();
    frameSize = size;
    if (wasRecording) toggle();
}

void Recorder::record(cv::Mat& frame) {
    if (!writer) return;
    if (writer->write(frame) && !writer->failed()) {
        drawRecordingLabel(frame);
        return;
    }
    stopSaying(currentPath + ": a frame of another size or layout than the recording");
}

}  // namespace tarvolen
