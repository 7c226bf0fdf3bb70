// Runs the web view without the watcher: a moving picture (from a video or
// drawn), a status object of the watcher's shape and an event folder given
// by the test. Exits 2 with one line when the settings are refused, 1 when
// the server cannot start, 0 after SIGINT or SIGTERM.
#include <time.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>

#include <CLI/CLI.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "events/EventJson.h"
#include "platform/ProgramGuard.h"
#include "platform/Signals.h"
#include "watch/WebServer.h"

namespace {

using namespace tarvolen;
using Clock = std::chrono::steady_clock;

struct Options {
    WebSettings settings;
    WebLimits limits;
    std::string folder = ".";
    std::string log = "events.jsonl";
    std::string video;
    int width = 640;
    int height = 360;
    double fps = 25;
    int readTimeoutMs = 5000;
    int writeTimeoutMs = 5000;
};

class Feed {
public:
    explicit Feed(const Options& options) : size(options.width, options.height) {
        if (!options.video.empty()) capture.open(options.video);
    }

    // A new buffer every time: the server keeps a reference to it.
    cv::Mat next(std::uint64_t number) {
        cv::Mat frame;
        if (capture.isOpened() && !(capture.read(frame) && !frame.empty())) {
            capture.set(cv::CAP_PROP_POS_FRAMES, 0);
            capture.read(frame);
        }
        if (frame.empty()) {
            frame = cv::Mat(size, CV_8UC3, cv::Scalar(70, 90, 60));
        } else {
            cv::resize(frame, frame, size);
        }
        const int x = static_cast<int>(number * 4 % static_cast<std::uint64_t>(std::max(1, size.width - 80)));
        cv::rectangle(frame, cv::Rect(x, size.height / 3, 60, 90), cv::Scalar(255, 120, 40), 3);
        cv::putText(frame, "frame " + std::to_string(number), cv::Point(10, 30), cv::FONT_HERSHEY_SIMPLEX, 0.8,
                    cv::Scalar(255, 255, 255), 2);
        return frame;
    }

private:
    cv::VideoCapture capture;
    cv::Size size;
};

// This thread's CPU time: what publishing costs the loop, apart from the
// time it waits for a core on a busy machine.
std::chrono::nanoseconds threadCpuTime() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

nlohmann::json statusObject(const std::string& source, std::uint64_t frames, double fps, const std::string& since) {
    const std::string now = isoLocalTime(std::chrono::system_clock::now());
    return {{"source", source},
            {"state", "up"},
            {"state_since", since},
            {"last_outage_seconds", 4.5},
            {"frames_read", frames},
            {"fps", fps},
            {"last_frame_time", now},
            {"events", 2},
            {"open_event", {{"start", since}, {"peak_objects", 3}}},
            {"folder_bytes", 734003200},
            {"folder_cap_bytes", 2147483648LL},
            {"updated", now},
            {"version", "harness"}};
}

int run(const Options& options) {
    const std::string problem = checkWebSettings(options.settings);
    if (!problem.empty()) {
        std::cout << problem << std::endl;
        return 2;
    }
    std::atomic<std::uint64_t> frames{0};
    const std::string source = options.video.empty() ? "synthetic" : options.video;
    const std::string since = isoLocalTime(std::chrono::system_clock::now());
    WebSources sources{[&] { return statusObject(source, frames.load(), options.fps, since); }, options.folder,
                       options.folder + "/" + options.log, "", {}};
    WebServer server(options.settings, sources, options.limits);
    std::string error;
    if (!server.start(error)) {
        std::cout << error << std::endl;
        return 1;
    }
    std::cout << "listening on port " << server.port() << std::endl;
    Feed feed(options);
    const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / options.fps));
    const Clock::time_point started = Clock::now();
    Clock::time_point due = started;
    Clock::duration publishing{};
    Clock::duration longestPublish{};
    std::chrono::nanoseconds publishingCpu{};
    while (!quitRequested()) {
        const cv::Mat frame = feed.next(++frames);
        const Clock::time_point before = Clock::now();
        const std::chrono::nanoseconds cpuBefore = threadCpuTime();
        server.publishFrame(frame);
        publishingCpu += threadCpuTime() - cpuBefore;
        const Clock::duration took = Clock::now() - before;
        publishing += took;
        longestPublish = std::max(longestPublish, took);
        due += interval;
        std::this_thread::sleep_until(due);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    server.stop();
    using std::chrono::duration_cast;
    using std::chrono::microseconds;
    std::cout << "frames " << frames.load() << " in " << seconds << " s (" << frames.load() / seconds
              << " fps), encodes " << server.encodes() << ", publishFrame mean "
              << duration_cast<microseconds>(publishing).count() / std::max<std::uint64_t>(1, frames.load())
              << " us (CPU "
              << duration_cast<microseconds>(publishingCpu).count() / std::max<std::uint64_t>(1, frames.load())
              << " us), longest " << duration_cast<microseconds>(longestPublish).count() << " us" << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"Serves the web view on a synthetic feed"};
    app.add_option("--listen", options.settings.listen)->required();
    app.add_option("--token", options.settings.token);
    app.add_option("--folder", options.folder);
    app.add_option("--log", options.log);
    app.add_option("--video", options.video);
    app.add_option("--width", options.width)->check(CLI::Range(16, 7680));
    app.add_option("--height", options.height)->check(CLI::Range(16, 4320));
    app.add_option("--fps", options.fps)->check(CLI::Range(1.0, 120.0));
    app.add_option("--max-connections", options.limits.maxConnections)->check(CLI::Range(1, 1000));
    app.add_option("--max-streams", options.limits.maxStreams)->check(CLI::Range(1, 1000));
    app.add_option("--read-timeout-ms", options.readTimeoutMs)->check(CLI::Range(10, 60000));
    app.add_option("--write-timeout-ms", options.writeTimeoutMs)->check(CLI::Range(10, 60000));
    CLI11_PARSE(app, argc, argv);
    options.limits.readTimeout = std::chrono::milliseconds(options.readTimeoutMs);
    options.limits.keepAliveTimeout = options.limits.readTimeout;
    options.limits.writeTimeout = std::chrono::milliseconds(options.writeTimeoutMs);
    installQuitSignals();
    return runReportingEscapes([&] { return run(options); }, std::cout, 1, "web_harness: ");
}
