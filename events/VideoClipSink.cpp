#include "events/VideoClipSink.h"

#include <utility>

#include "media/VideoFileWriter.h"

namespace tarvolen {
namespace {

// Writes each frame through its own VideoFileWriter. The clip channel hands
// over pictures it never touches again, so the writer takes them uncopied.
class VideoFileClipSink : public ClipSink {
public:
    bool open(const std::string& path, cv::Size frameSize, double fps) override {
        return writer.open(path, fps, frameSize);
    }
    bool write(const cv::Mat& frame) override {
        cv::Mat shared = frame;
        return writer.write(std::move(shared));
    }
    bool finish() override {
        writer.finish();
        return !writer.failed();
    }
    std::string failure() const override { return writer.failure(); }

private:
    VideoFileWriter writer;
};

}  // namespace

ClipSinkFactory videoFileClipSinks() {
    return [] { return std::make_unique<VideoFileClipSink>(); };
}

}  // namespace tarvolen
