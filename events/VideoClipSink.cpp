#include "events/VideoClipSink.h"

#include "media/VideoFileWriter.h"

namespace tarvolen {
namespace {

class VideoFileClipSink : public ClipSink {
public:
    bool open(const std::string& path, cv::Size frameSize, double fps) override {
        return writer.open(path, fps, frameSize);
    }
    bool write(cv::Mat frame) override {
        if (writer.write(std::move(frame))) return true;
        if (!writer.failed()) mismatch = true;  // refused without giving up: wrong size or type
        return false;
    }
    bool finish() override {
        writer.finish();
        return !writer.failed();
    }
    std::string failure() const override {
        if (writer.failed()) return writer.failure();
        return mismatch ? writer.path() + ": a frame of another size or type than the clip's" : std::string();
    }

private:
    VideoFileWriter writer;
    bool mismatch = false;
};

}  // namespace

ClipSinkFactory videoFileClipSinks() {
    return [] { return std::make_unique<VideoFileClipSink>(); };
}

}  // namespace tarvolen
