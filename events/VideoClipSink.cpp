#include "events/VideoClipSink.h"

#include <utility>

namespace tarvolen {
namespace {

// The clip channel hands over pictures and bytes it never touches again, so
// the writer takes them uncopied.
class ClipWriterSink : public ClipSink {
public:
    explicit ClipWriterSink(ClipFormat format) : writer(format) {}
    bool open(const std::string& path, cv::Size frameSize, double fps) override {
        return writer.open(path, fps, frameSize);
    }
    bool write(const cv::Mat& frame) override { return writer.write(frame); }
    bool writeStored(StoredFrame frame) override {
        if (!frame.jpeg.empty()) return writer.writeJpeg(std::move(frame.jpeg));
        return writer.write(std::move(frame.raw));
    }
    bool finish() override {
        writer.finish();
        return !writer.failed();
    }
    std::string failure() const override { return writer.failure(); }

private:
    ClipWriter writer;
};

}  // namespace

ClipSinkFactory videoFileClipSinks(ClipFormat format) {
    return [format] { return std::make_unique<ClipWriterSink>(format); };
}

}  // namespace tarvolen
