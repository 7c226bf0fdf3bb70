// Recording the annotated input video to Motion-JPEG AVI files.
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include <opencv2/core.hpp>

#include "media/FileNames.h"
#include "media/VideoFileWriter.h"

namespace tarvolen {

// "record_" + day_month_year_hour_minute_second + ".avi".
std::string recordingFileName(const std::tm& localTime);

// Frames are encoded and written on a writer thread of their own, every one
// in order. When the writer gives up (the disk nearly full, the file or its
// folder gone), recording stops and one line on `messages` names the file,
// the reason and the frames it holds.
class Recorder {
public:
    // Frames of frameSize are written into `directory` (empty: the working
    // directory). Messages go to `messages`.
    Recorder(cv::Size frameSize, std::string directory, std::ostream& messages);
    ~Recorder();

    // Starts a new file named after `localTime`; when the file cannot be
    // written says so on one line and stays idle. Returns whether recording.
    bool start(const std::tm& localTime);
    // Finishes the file (every frame handed over is written), if recording.
    void stop();
    // Stops when recording, else starts with the current local time.
    bool toggle();
    // Frames of another size from now on: a file in progress is finished
    // and a new one started.
    void restartAtSize(cv::Size size);

    bool isRecording() const { return writer != nullptr; }
    // The path of the current (or last) recording.
    const std::string& path() const { return currentPath; }

    // Appends the frame as it is, then marks it with the recording label.
    // Does nothing when not recording. When the writer has given up, stops
    // recording instead (no label) and says why.
    void record(cv::Mat& frame);

    // Frames written to the current (or last) recording.
    std::uint64_t framesWritten() const { return lastFrames; }

private:
    // Finishes the file; says why when the writer failed, else `reason`
    // unless it is empty.
    void stopSaying(const std::string& reason);

    cv::Size frameSize;
    std::string directory;
    std::ostream& messages;
    std::unique_ptr<VideoFileWriter> writer;
    std::string currentPath;
    std::uint64_t lastFrames = 0;
};

}  // namespace tarvolen
