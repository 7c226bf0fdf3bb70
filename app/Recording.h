// Recording the annotated input video to Motion-JPEG AVI files.
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

namespace tarvolen {

// prefix + day_month_year_hour_minute_second + ".avi".
std::string timeStampedFileName(const std::string& prefix, const std::tm& localTime);

// "record_" + day_month_year_hour_minute_second + ".avi".
std::string recordingFileName(const std::tm& localTime);

// `name` itself when it is not taken, else the first of name_2.avi,
// name_3.avi, ... that is free, so that no earlier recording is replaced.
std::string firstFreeName(const std::string& name, const std::function<bool(const std::string&)>& taken);

class Recorder {
public:
    // Frames of frameSize are written into `directory` (empty: the working
    // directory). Messages go to `messages`.
    Recorder(cv::Size frameSize, std::string directory, std::ostream& messages);
    ~Recorder();

    // Starts a new file named after `localTime`; when the file cannot be
    // written says so on one line and stays idle. Returns whether recording.
    bool start(const std::tm& localTime);
    // Finishes the file, if recording.
    void stop();
    // Stops when recording, else starts with the current local time.
    bool toggle();

    bool isRecording() const { return writer != nullptr; }
    // The path of the current (or last) recording.
    const std::string& path() const { return currentPath; }

    // Appends the frame as it is, then marks it with the recording label.
    // Does nothing when not recording.
    void record(cv::Mat& frame);

private:
    cv::Size frameSize;
    std::string directory;
    std::ostream& messages;
    std::unique_ptr<cv::VideoWriter> writer;
    std::string currentPath;
};

}  // namespace tarvolen
