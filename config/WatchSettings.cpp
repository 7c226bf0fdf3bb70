#include "config/WatchSettings.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>

#include "config/ConfigurationDocument.h"

namespace tarvolen {
namespace {

using json = nlohmann::json;

const char* const kSectionKey = "Watch";
const char* const kMqttKey = "mqtt";
const char* const kWebKey = "web";
// The MQTT topic filter wildcards: a topic messages are published to may
// hold neither.
const char* const kTopicWildcards = "+#";
constexpr std::size_t kMaxMqttStringBytes = 65535;  // the protocol's length field

// One object of the section being read, with the dotted name its keys are
// reported under ("Watch", "Watch.mqtt").
class SectionReader {
public:
    SectionReader(const json& object, std::string name) : section(object), path(std::move(name)) {}

    // The first key not among `known`, as a problem; empty when none.
    std::string unknownKey(std::initializer_list<const char*> known) const {
        for (const auto& item : section.items()) {
            const std::string& key = item.key();
            if (std::none_of(known.begin(), known.end(), [&key](const char* k) { return key == k; }))
                return path + " has an unknown key \"" + key + "\"";
        }
        return "";
    }

    const json* find(const char* key) const {
        const auto it = section.find(key);
        return it == section.end() ? nullptr : &*it;
    }

    std::string nameOf(const char* key) const { return path + "." + key; }

    std::string problem(const char* key, const std::string& what, const json& value) const {
        return nameOf(key) + " " + what + " (got " + shownSettingValue(value) + ")";
    }

    // A number above `low` (or from it, when `lowIncluded`) up to `high`.
    std::string seconds(const char* key, double low, bool lowIncluded, double high, double& out) const {
        const json* value = find(key);
        if (value == nullptr) return "";
        const bool inRange = value->is_number() &&
                             (lowIncluded ? value->get<double>() >= low : value->get<double>() > low) &&
                             value->get<double>() <= high;
        if (!inRange)
            return problem(key,
                           "must be a number " + std::string(lowIncluded ? "from " : "above ") +
                               plainNumber(low) + (lowIncluded ? " to " : " and at most ") +
                               plainNumber(high),
                           *value);
        out = value->get<double>();
        return "";
    }

    // Any string without a NUL byte (nothing could pass one on).
    std::string text(const char* key, const std::string& what, std::string& out) const {
        const json* value = find(key);
        if (value == nullptr) return "";
        if (!value->is_string() || value->get<std::string>().find('\0') != std::string::npos)
            return problem(key, what, *value);
        out = value->get<std::string>();
        return "";
    }

private:
    const json& section;
    std::string path;
};

std::string firstProblem(std::initializer_list<std::string> problems) {
    for (const std::string& p : problems)
        if (!p.empty()) return p;
    return "";
}

std::string readPort(const SectionReader& mqtt, int& port) {
    const char* const key = "port";
    const json* value = mqtt.find(key);
    if (value == nullptr) return "";
    const bool whole = value->is_number() && std::trunc(value->get<double>()) == value->get<double>();
    if (!whole || value->get<double>() < 1 || value->get<double>() > kMaxMqttPort)
        return mqtt.problem(key, "must be a whole number from 1 to " + std::to_string(kMaxMqttPort), *value);
    port = static_cast<int>(value->get<double>());
    return "";
}

std::string readTopic(const SectionReader& mqtt, std::string& topic) {
    const char* const key = "topic";
    std::string read = topic;
    const char* const what = "must be a topic name without the wildcards + and #";
    if (std::string refused = mqtt.text(key, what, read); !refused.empty()) return refused;
    if (read.empty() || read.size() > kMaxMqttStringBytes ||
        read.find_first_of(kTopicWildcards) != std::string::npos)
        return mqtt.problem(key, what, *mqtt.find(key));
    topic = read;
    return "";
}

// The MQTT protocol allows a password only with a user name.
std::string readCredentials(const SectionReader& mqtt, MqttSettings& out) {
    if (std::string refused = firstProblem({mqtt.text("username", "must be a string", out.username),
                                            mqtt.text("password", "must be a string", out.password)});
        !refused.empty())
        return refused;
    if (!out.password.empty() && out.username.empty()) return mqtt.nameOf("password") + " needs a username";
    return "";
}

std::string readMqtt(const json& object, std::optional<MqttSettings>& out) {
    const SectionReader mqtt(object, std::string(kSectionKey) + "." + kMqttKey);
    if (std::string unknown = mqtt.unknownKey({"host", "port", "topic", "username", "password", "client_id"});
        !unknown.empty())
        return unknown;
    MqttSettings read;
    const char* const hostWhat = "must be a host name or address";
    if (mqtt.find("host") == nullptr) return mqtt.nameOf("host") + " is missing";
    if (std::string refused = mqtt.text("host", hostWhat, read.host); !refused.empty()) return refused;
    if (read.host.empty() || read.host.find_first_of(" \t\r\n") != std::string::npos)
        return mqtt.problem("host", hostWhat, *mqtt.find("host"));
    std::string refused =
        firstProblem({readPort(mqtt, read.port), readTopic(mqtt, read.topic), readCredentials(mqtt, read),
                      mqtt.text("client_id", "must be a string", read.clientId)});
    if (refused.empty() && read.clientId.size() > kMaxMqttStringBytes)
        refused = mqtt.problem("client_id", "is too long", *mqtt.find("client_id"));
    if (refused.empty()) out = read;
    return refused;
}

std::string readWeb(const json& object, std::optional<WebSettings>& out) {
    const SectionReader web(object, std::string(kSectionKey) + "." + kWebKey);
    WebSettings read;
    std::string refused = firstProblem({web.unknownKey({"listen", "token"}),
                                        web.text("listen", "must be a string \"host:port\"", read.listen),
                                        web.text("token", "must be a string", read.token)});
    if (refused.empty()) out = read;
    return refused;
}

// A number the caller's `valid` accepts; `what` says which.
template <typename Number, typename Valid>
std::string readNumber(const SectionReader& watch, const char* key, const std::string& what, Valid valid,
                       Number& out) {
    const json* value = watch.find(key);
    if (value == nullptr) return "";
    if (!value->is_number() || !valid(value->get<double>())) return watch.problem(key, what, *value);
    out = static_cast<Number>(value->get<double>());
    return "";
}

// An object under `key` of the section, read by `readObject` when present.
template <typename Settings, typename Reader>
std::string readObjectKey(const SectionReader& watch, const char* key, std::optional<Settings>& out,
                          Reader readObject) {
    const json* value = watch.find(key);
    if (value == nullptr) return "";
    if (!value->is_object()) return watch.problem(key, "must be an object", *value);
    return readObject(*value, out);
}

std::string readSection(const json& section, WatchSettings& out) {
    if (!section.is_object())
        return std::string(kSectionKey) + " must be an object (got " + shownSettingValue(section) + ")";
    const SectionReader watch(section, kSectionKey);
    const char* const command = "must be a string (a shell command)";
    return firstProblem({
        watch.unknownKey({"source_timeout_seconds", "reconnect_max_seconds", "on_source_lost",
                          "on_source_back", "status_file", "status_interval_seconds", kMqttKey, kWebKey,
                          "detect_width", "region_file", "light_change_percent"}),
        watch.seconds("source_timeout_seconds", 0.0, false, kMaxWatchSeconds, out.sourceTimeoutSeconds),
        watch.seconds("reconnect_max_seconds", kMinReconnectMaxSeconds, true, kMaxWatchSeconds,
                      out.reconnectMaxSeconds),
        watch.text("on_source_lost", command, out.onSourceLost),
        watch.text("on_source_back", command, out.onSourceBack),
        watch.text("status_file", "must be the path of a file, or empty for none", out.statusFile),
        watch.seconds("status_interval_seconds", 0.0, false, kMaxWatchSeconds, out.statusIntervalSeconds),
        readObjectKey(watch, kMqttKey, out.mqtt, readMqtt),
        readObjectKey(watch, kWebKey, out.web, readWeb),
        readNumber(watch, "detect_width",
                   "must be 0 (frames as delivered) or a whole number from " +
                       std::to_string(kMinDetectWidth) + " to " + std::to_string(kMaxDetectWidth),
                   validDetectWidth, out.detection.detectWidth),
        watch.text("region_file", "must be the path of a region file, or empty for none", out.regionFile),
        readNumber(watch, "light_change_percent",
                   "must be 0 (off) or a number from " + plainNumber(kMinLightChangePercent) + " to " +
                       plainNumber(kMaxLightChangePercent),
                   validLightChangePercent, out.detection.lightChangePercent),
    });
}

}  // namespace

std::string parseWatchSettings(std::string_view configText, WatchSettings& settings) {
    json document;
    if (std::string broken = parseSettingsDocument(configText, document); !broken.empty()) return broken;
    if (!document.is_object()) return "";
    const auto section = document.find(kSectionKey);
    if (section == document.end()) return "";
    WatchSettings read;
    std::string refused = readSection(*section, read);
    if (refused.empty()) settings = read;
    return refused;
}

std::string readWatchSettings(const std::string& fileName, WatchSettings& settings) {
    std::string text;
    if (!readWholeFile(fileName, text)) return fileName + ": cannot be read";
    const std::string refused = parseWatchSettings(text, settings);
    return refused.empty() ? refused : fileName + ": " + refused;
}

}  // namespace tarvolen
