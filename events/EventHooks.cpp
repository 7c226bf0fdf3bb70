#include "events/EventHooks.h"

#include <cmath>
#include <filesystem>

namespace tarvolen {
namespace {

HookTiming timingOf(const EventRecordingSettings& settings) {
    HookTiming timing;
    timing.timeout = std::chrono::milliseconds(std::llround(settings.hookTimeoutSeconds * 1000.0));
    return timing;
}

// A hook may change its folder: it is given paths that do not depend on it.
std::string absolute(const std::string& path) {
    if (path.empty()) return path;
    std::error_code ignored;
    const std::filesystem::path full = std::filesystem::absolute(path, ignored);
    return full.empty() ? path : full.string();
}

HookEnvironment variables(const std::string& event, const std::string& clip, const std::string& snapshot,
                          const std::string& source) {
    return {{"TARVOLEN_EVENT", event},
            {"TARVOLEN_CLIP", absolute(clip)},
            {"TARVOLEN_SNAPSHOT", absolute(snapshot)},
            {"TARVOLEN_SOURCE", source}};
}

}  // namespace

EventHooks::EventHooks(const EventRecordingSettings& settings, LineSink say)
    : onStart(settings.onEventStart), onEnd(settings.onEventEnd), runner(std::move(say), timingOf(settings)) {}

bool EventHooks::wanted(const EventRecordingSettings& settings) {
    return !settings.onEventStart.empty() || !settings.onEventEnd.empty();
}

void EventHooks::eventStarted(const std::string& source, const std::string& clipPath, const std::string& startJson) {
    if (onStart.empty()) return;
    runner.run(kStartHook, onStart, variables(startJson, clipPath, "", source));
}

void EventHooks::eventEnded(const std::string& source, const std::string& clipPath, const std::string& snapshotPath,
                            const std::string& logLine) {
    if (onEnd.empty()) return;
    runner.run(kEndHook, onEnd, variables(logLine, clipPath, snapshotPath, source));
}

}  // namespace tarvolen
