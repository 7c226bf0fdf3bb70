// Live event recording on real footage, without a window: the frame loop's
// work (colour conversion, detector, overlays, handing the frame to event
// recording) on every frame of a video, scaled to a chosen size, optionally
// paced to the frame rate as the live program does. Reports the pre-capture
// buffer's peak and the loop's times on the frames where a clip was opened
// against all other frames.
//   tarvolen_live_event_bench VIDEO [--width W --height H] [--fps F] [--frames N]
//                             [--pre S] [--post S] [--paced] [--out DIR]
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <CLI/CLI.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "events/LiveEventRecording.h"
#include "draw/Overlays.h"
#include "detector/Detector.h"

namespace {

using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// Milliseconds per frame of one kind of work: "median / 99th percentile / max".
std::string summary(std::vector<double> ms) {
    if (ms.empty()) return "-";
    std::sort(ms.begin(), ms.end());
    const auto at = [&ms](double q) {
        return ms[static_cast<std::size_t>(q * static_cast<double>(ms.size() - 1))];
    };
    std::ostringstream out;
    out << std::fixed << std::setprecision(2) << at(0.5) << " / " << at(0.99) << " / " << ms.back();
    return out.str();
}

struct Times {
    std::vector<double> processing;  // colour conversion and detector, as the live view shows it
    std::vector<double> handOver;    // handing the frame to event recording
    std::vector<double> pass;        // all of the loop's own work on the frame

    void add(double p, double h, double all) {
        processing.push_back(p);
        handOver.push_back(h);
        pass.push_back(all);
    }
    void print(const char* what) const {
        std::cout << what << ": " << pass.size() << " frames; ms median / p99 / max: processing "
                  << summary(processing) << ", hand-over " << summary(handOver) << ", pass " << summary(pass)
                  << "\n";
    }
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Live event recording on real footage, without a window"};
    std::string video;
    int width = 0, height = 0;
    double fps = 0, pre = 2.0, post = 5.0;
    long frames = 0;
    bool paced = false;
    std::string out = "live-event-bench";
    app.add_option("video", video, "video file")->required();
    app.add_option("--width", width, "frame width (default: the video's)");
    app.add_option("--height", height, "frame height (default: the video's)");
    app.add_option("--fps", fps, "the rate clips and event times use (default: the video's)");
    app.add_option("--frames", frames, "frames to process; the video loops (default: all of it once)");
    app.add_option("--pre", pre, "pre_seconds")->capture_default_str();
    app.add_option("--post", post, "post_seconds")->capture_default_str();
    app.add_flag("--paced", paced, "hold each pass to one frame period, as the live program does");
    app.add_option("--out", out, "folder for the clips and the log")->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    cv::VideoCapture capture(video);
    if (!capture.isOpened()) {
        std::cerr << "cannot open " << video << "\n";
        return 1;
    }
    const cv::Size size(width > 0 ? width : static_cast<int>(capture.get(cv::CAP_PROP_FRAME_WIDTH)),
                        height > 0 ? height : static_cast<int>(capture.get(cv::CAP_PROP_FRAME_HEIGHT)));
    if (fps <= 0) fps = capture.get(cv::CAP_PROP_FPS);
    if (frames <= 0) frames = static_cast<long>(capture.get(cv::CAP_PROP_FRAME_COUNT));

    std::filesystem::remove_all(out);
    tarvolen::EventRecordingSettings settings;
    settings.enabled = true;
    settings.folder = out;
    settings.preSeconds = pre;
    settings.postSeconds = post;
    tarvolen::LiveEventRecording live(settings, size, fps, std::cout);
    tarvolen::Detector detector;

    // Model updates, where objects first show and clips therefore open, take
    // far longer than the other frames: compare like with like.
    Times opening, updates, others, inEvent;
    const long window = static_cast<long>(detector.getParameter(tarvolen::Detector::kNumFrames));
    cv::Mat captured, colour, gray;
    const auto period = std::chrono::duration<double>(1.0 / fps);
    Clock::time_point mark = Clock::now();
    for (long i = 0; i < frames; ++i) {
        if (!capture.read(captured)) {
            capture.set(cv::CAP_PROP_POS_FRAMES, 1.0);
            if (!capture.read(captured)) break;
        }
        if (captured.size() == size) {
            captured.copyTo(colour);
        } else {
            cv::resize(captured, colour, size, 0, 0, cv::INTER_LINEAR);
        }
        const Clock::time_point t0 = Clock::now();
        cv::cvtColor(colour, gray, cv::COLOR_BGR2GRAY);
        detector.process(gray.data, size.width, size.height, nullptr);
        const Clock::time_point t1 = Clock::now();
        const std::vector<tarvolen::ObjectTrack> objects = detector.getConfirmedObjects();
        tarvolen::drawObjectBoxes(colour, objects);
        tarvolen::drawProcessingTime(colour, static_cast<int>(msBetween(t0, t1)), size.width);
        const bool wasRecording = live.recordingEvent();
        const Clock::time_point t2 = Clock::now();
        live.addFrame(colour, objects);
        const Clock::time_point t3 = Clock::now();
        live.drawLabel(colour);
        const bool clipOpened = !wasRecording && live.recordingEvent();
        const bool update = (i + 1) % window == 0;
        (clipOpened     ? opening
         : update       ? updates
         : wasRecording ? inEvent
                        : others)
            .add(msBetween(t0, t1), msBetween(t2, t3), msBetween(t0, t3));
        if (paced) {
            std::this_thread::sleep_until(mark + std::chrono::duration_cast<Clock::duration>(period));
            mark = Clock::now();
        }
    }
    live.finish();

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::cout << "size " << size.width << "x" << size.height << ", " << fps << " fps, pre " << pre
              << " s, post " << post << " s" << (paced ? ", paced" : ", unpaced") << "\n"
              << "events logged: " << live.eventsLogged() << "\n"
              << "pre-capture buffer peak: " << live.bufferPeakBytes() / 1048576.0 << " MiB\n"
              << "process peak resident memory: " << usage.ru_maxrss / 1024.0 << " MiB\n";
    opening.print("frames where a clip opened");
    updates.print("other frames with a model update");
    inEvent.print("frames without a model update, in an event");
    others.print("frames without a model update, no event");
    return 0;
}
