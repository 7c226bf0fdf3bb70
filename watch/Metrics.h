// The watcher's figures for Prometheus, in its text exposition format, each
// series labelled with the camera's name: what the status file holds, and
// what an operator needs to see trouble coming (frames waiting, the clip
// writer falling behind, hooks dropped, clips deleted, the age of the last
// frame, the broker's connection).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "watch/WatchStatus.h"

namespace tarvolen {

struct MetricsInput {
    std::string camera;  // Watch.name: the `camera` label of every series
    WatchStatus status;
    std::optional<bool> mqttConnected;  // with MQTT only
    std::uint64_t sourceHooksDropped = 0;  // on_source_lost / on_source_back not run
    WatchStatus::WallTime started;  // before the first frame, the last frame's age counts from here
    WatchStatus::WallTime now;
};

// Every family with its # HELP and # TYPE, counters ending in _total.
std::string metricsText(const MetricsInput& input);

}  // namespace tarvolen
