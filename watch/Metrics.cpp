#include "watch/Metrics.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

namespace tarvolen {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

const char* const kCameraLabel = "camera";

class Families {
public:
    explicit Families(std::string cameraName) : camera(std::move(cameraName)) {}

    void counter(const char* name, const char* help, double value) { add(name, help, MetricType::Counter, value); }
    void gauge(const char* name, const char* help, double value) { add(name, help, MetricType::Gauge, value); }
    void flag(const char* name, const char* help, bool value) { gauge(name, help, value ? 1.0 : 0.0); }
    // An info metric: 1, with the facts as labels.
    void info(const char* name, const char* help, const char* label, const std::string& value) {
        add(name, help, MetricType::Gauge, 1.0);
        families.back().metric.back().label.push_back({label, value});
    }

    std::string text() const { return prometheus::TextSerializer().Serialize(families); }

private:
    void add(const char* name, const char* help, MetricType type, double value) {
        MetricFamily family;
        family.name = name;
        family.help = help;
        family.type = type;
        ClientMetric metric;
        metric.label.push_back({kCameraLabel, camera});
        (type == MetricType::Counter ? metric.counter.value : metric.gauge.value) = value;
        family.metric.push_back(std::move(metric));
        families.push_back(std::move(family));
    }

    const std::string camera;
    std::vector<MetricFamily> families;
};

double seconds(WatchStatus::WallTime::duration span) {
    return std::max(0.0, std::chrono::duration<double>(span).count());
}

}  // namespace

std::string metricsText(const MetricsInput& in) {
    const WatchStatus& s = in.status;
    const RecordingHealth& recording = s.health.recording;
    Families out(in.camera);
    out.info("tarvolen_build_info", "The watcher's version, as a label; always 1.", "version", kWatchVersion);
    out.counter("tarvolen_frames_total", "Frames processed since the watcher started.",
                static_cast<double>(s.framesRead));
    out.gauge("tarvolen_frames_per_second", "Frames processed per second over the last 5 s.", s.fps);
    out.gauge("tarvolen_last_frame_age_seconds",
              "Seconds since the newest frame was read (since the start, before the first frame).",
              seconds(in.now - s.lastFrameTime.value_or(in.started)));
    out.gauge("tarvolen_frames_waiting", "Decoded frames waiting for detection; a full queue means detection is the slower side.",
              static_cast<double>(s.health.framesWaiting));
    out.flag("tarvolen_source_up", "1 while the video source delivers frames, 0 before the first and while it is lost.",
             s.state == SourceState::Up);
    out.counter("tarvolen_source_outages_total", "Times the video source was lost.",
                static_cast<double>(s.health.sourceOutages));
    out.counter("tarvolen_events_total", "Events recorded (clip finished and logged) since the watcher started.",
                s.events);
    out.flag("tarvolen_event_open", "1 while an event is being recorded.", s.openEvent.has_value());
    out.gauge("tarvolen_folder_bytes", "Bytes of the files in the event folder.", static_cast<double>(s.folderBytes));
    out.gauge("tarvolen_folder_cap_bytes", "The event folder's cap in bytes (max_folder_mb); 0 for none.",
              static_cast<double>(s.folderCapBytes));
    out.gauge("tarvolen_clip_backlog_bytes",
              "Bytes of frames waiting for the clip writer; at 256 MiB detection waits for it.",
              static_cast<double>(recording.clipBacklogBytes));
    out.counter("tarvolen_hooks_dropped_total", "Hooks not run because too many were already waiting.",
                static_cast<double>(recording.hooksDropped + in.sourceHooksDropped));
    out.counter("tarvolen_retention_deleted_files_total", "Clips and snapshots deleted by retention.",
                static_cast<double>(recording.retentionDeletedFiles));
    out.counter("tarvolen_retention_deleted_bytes_total", "Bytes of clips and snapshots deleted by retention.",
                static_cast<double>(recording.retentionDeletedBytes));
    if (in.mqttConnected)
        out.flag("tarvolen_mqtt_connected", "1 while the MQTT broker is connected.", *in.mqttConnected);
    return out.text();
}

}  // namespace tarvolen
