#include "config/EventRecordingSettings.h"

#include <algorithm>

#include "config/ConfigurationDocument.h"

namespace tarvolen {
namespace {

using json = nlohmann::json;

const char* const kSectionKey = "Event_Recording";
const char* const kEnabledKey = "enabled";
const char* const kFolderKey = "folder";
const char* const kLogKey = "log";
const char* const kFormatKey = "format";

struct SecondsKey {
    const char* key;
    double EventRecordingSettings::*field;
    double max;
};

const SecondsKey kSecondsKeys[] = {
    {"pre_seconds", &EventRecordingSettings::preSeconds, kMaxPreSeconds},
    {"post_seconds", &EventRecordingSettings::postSeconds, kMaxPostSeconds},
    {"min_event_seconds", &EventRecordingSettings::minEventSeconds, kMaxMinEventSeconds},
};

// "Event_Recording.key", or the object's own name for an empty key.
std::string nameOf(const std::string& key) {
    return key.empty() ? std::string(kSectionKey) : std::string(kSectionKey) + "." + key;
}

std::string problem(const std::string& key, const std::string& what, const json& value) {
    return nameOf(key) + " " + what + " (got " + shownSettingValue(value) + ")";
}

bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::string readSeconds(const json& section, const SecondsKey& key, EventRecordingSettings& out) {
    const auto it = section.find(key.key);
    if (it == section.end()) return "";
    // JSON numbers are finite: the parser refuses anything that overflows.
    if (!it->is_number() || it->get<double>() < 0.0 || it->get<double>() > key.max)
        return problem(key.key, "must be a number from 0 to " + plainNumber(key.max), *it);
    out.*key.field = it->get<double>();
    return "";
}

std::string readFormat(const json& section, EventRecordingSettings& out) {
    const auto format = section.find(kFormatKey);
    if (format == section.end()) return "";
    const auto known = [](const std::string& name) { return name == "avi" || name == "mp4" || name == "copy"; };
    if (!format->is_string() || !known(format->get<std::string>()))
        return problem(kFormatKey, "must be \"avi\", \"mp4\" or \"copy\"", *format);
    out.format = format->get<std::string>();
    return "";
}

// Hooks, snapshots and retention.
const char* const kCommandKeys[] = {"on_event_start", "on_event_end"};
const char* const kHookTimeoutKey = "hook_timeout_seconds";
const char* const kSnapshotKey = "snapshot";

struct LimitKey {
    const char* key;
    double EventRecordingSettings::*field;
    double max;
    const char* meaning;  // of 0
};

const LimitKey kLimitKeys[] = {
    {"max_folder_mb", &EventRecordingSettings::maxFolderMb, kMaxFolderMb, "no cap"},
    {"max_age_days", &EventRecordingSettings::maxAgeDays, kMaxAgeDays, "no limit"},
};

bool isHookOrRetentionKey(const std::string& key) {
    return key == kHookTimeoutKey || key == kSnapshotKey ||
           std::any_of(std::begin(kCommandKeys), std::end(kCommandKeys),
                       [&key](const char* k) { return key == k; }) ||
           std::any_of(std::begin(kLimitKeys), std::end(kLimitKeys),
                       [&key](const LimitKey& l) { return key == l.key; });
}

std::string readCommand(const json& section, const char* key, std::string& out) {
    const auto it = section.find(key);
    if (it == section.end()) return "";
    if (!it->is_string() || it->get<std::string>().find('\0') != std::string::npos)
        return problem(key, "must be a shell command as a string (\"\" for none)", *it);
    out = it->get<std::string>();
    return "";
}

std::string readHooksAndRetention(const json& section, EventRecordingSettings& out) {
    std::string refused = readCommand(section, kCommandKeys[0], out.onEventStart);
    if (refused.empty()) refused = readCommand(section, kCommandKeys[1], out.onEventEnd);
    if (!refused.empty()) return refused;

    const auto timeout = section.find(kHookTimeoutKey);
    if (timeout != section.end()) {
        if (!timeout->is_number() || timeout->get<double>() <= 0.0 ||
            timeout->get<double>() > kMaxHookTimeoutSeconds)
            return problem(kHookTimeoutKey,
                           "must be a number above 0, at most " + plainNumber(kMaxHookTimeoutSeconds), *timeout);
        out.hookTimeoutSeconds = timeout->get<double>();
    }

    const auto snapshot = section.find(kSnapshotKey);
    if (snapshot != section.end()) {
        if (!snapshot->is_boolean()) return problem(kSnapshotKey, "must be true or false", *snapshot);
        out.snapshot = snapshot->get<bool>();
    }

    for (const LimitKey& key : kLimitKeys) {
        const auto it = section.find(key.key);
        if (it == section.end()) continue;
        if (!it->is_number() || it->get<double>() < 0.0 || it->get<double>() > key.max)
            return problem(key.key,
                           "must be a number from 0 (" + std::string(key.meaning) + ") to " +
                               std::to_string(static_cast<long long>(key.max)),
                           *it);
        out.*key.field = it->get<double>();
    }
    return "";
}

std::string readSection(const json& section, EventRecordingSettings& out) {
    if (!section.is_object()) return problem("", "must be an object", section);
    for (const auto& item : section.items()) {
        const std::string& key = item.key();
        const bool known = key == kEnabledKey || key == kFolderKey || key == kLogKey || key == kFormatKey ||
                           std::any_of(std::begin(kSecondsKeys), std::end(kSecondsKeys),
                                       [&key](const SecondsKey& s) { return key == s.key; }) ||
                           isHookOrRetentionKey(key);
        if (!known) return std::string(kSectionKey) + " has an unknown key \"" + key + "\"";
    }
    const auto enabled = section.find(kEnabledKey);
    if (enabled == section.end()) return nameOf(kEnabledKey) + " is missing";
    if (!enabled->is_boolean()) return problem(kEnabledKey, "must be true or false", *enabled);
    out.enabled = enabled->get<bool>();

    const auto folder = section.find(kFolderKey);
    if (folder == section.end()) {
        if (out.enabled) return nameOf(kFolderKey) + " is missing";
    } else if (!folder->is_string() || folder->get<std::string>().empty() ||
               folder->get<std::string>().find('\0') != std::string::npos) {
        return problem(kFolderKey, "must be the path of a folder", *folder);
    } else {
        out.folder = folder->get<std::string>();
    }

    for (const SecondsKey& key : kSecondsKeys) {
        std::string refused = readSeconds(section, key, out);
        if (!refused.empty()) return refused;
    }

    const auto log = section.find(kLogKey);
    if (log != section.end()) {
        if (!log->is_string() || !isPlainFileName(log->get<std::string>()))
            return problem(kLogKey, "must be a plain file name (no folder)", *log);
        out.log = log->get<std::string>();
    }
    if (std::string refused = readFormat(section, out); !refused.empty()) return refused;
    return readHooksAndRetention(section, out);
}

}  // namespace

std::string parseEventRecordingSettings(std::string_view configText, EventRecordingSettings& settings) {
    json document;
    if (std::string broken = parseSettingsDocument(configText, document); !broken.empty()) return broken;
    if (!document.is_object()) return "";
    const auto section = document.find(kSectionKey);
    if (section == document.end()) return "";
    EventRecordingSettings read;
    std::string refused = readSection(*section, read);
    if (refused.empty()) settings = read;
    return refused;
}

std::string readEventRecordingSettings(const std::string& fileName, EventRecordingSettings& settings) {
    std::string text;
    if (!readWholeFile(fileName, text)) return fileName + ": cannot be read";
    const std::string refused = parseEventRecordingSettings(text, settings);
    return refused.empty() ? refused : fileName + ": " + refused;
}

}  // namespace tarvolen
