#include "config/WatchSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <initializer_list>

#include "config/ConfigurationDocument.h"

namespace tarvolen {
namespace {

using json = nlohmann::json;

const char* const kSectionKey = "Watch";
const char* const kMqttKey = "mqtt";
const char* const kWebKey = "web";
const char* const kRecordSourceKey = "record_source";
// Sources this short are camera indexes, as everywhere else.
constexpr std::size_t kMaxCameraSourceLength = 4;
const char* const kTlsKey = "tls";
const char* const kConfigExtension = ".json";
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

    std::string flag(const char* key, bool& out) const {
        const json* value = find(key);
        if (value == nullptr) return "";
        if (!value->is_boolean()) return problem(key, "must be true or false", *value);
        out = value->get<bool>();
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

// Why `path` cannot be read, or empty when it can: a file is opened now so
// that a wrong path stops the program at start, not at the first connection.
std::string unreadable(const std::string& path) {
    // Non-blocking: a FIFO without a writer must not hold the start up.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::strerror(errno);
    struct stat info {};
    const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    return regular ? "" : "not a regular file";
}

// A PEM file of the TLS object: a readable file, when given.
std::string readPemFile(const SectionReader& tls, const char* key, std::string& out) {
    if (std::string refused = tls.text(key, "must be the path of a PEM file", out); !refused.empty())
        return refused;
    if (tls.find(key) == nullptr) return "";
    if (out.empty()) return tls.problem(key, "must be the path of a PEM file", *tls.find(key));
    if (std::string why = unreadable(out); !why.empty())
        return tls.nameOf(key) + " cannot be read: " + out + " (" + why + ")";
    return "";
}

std::string readTls(const json& object, std::optional<MqttTlsSettings>& out) {
    const SectionReader tls(object, std::string(kSectionKey) + "." + kMqttKey + "." + kTlsKey);
    MqttTlsSettings read;
    std::string refused = firstProblem({tls.unknownKey({"ca_file", "cert_file", "key_file"}),
                                        readPemFile(tls, "ca_file", read.caFile),
                                        readPemFile(tls, "cert_file", read.certFile),
                                        readPemFile(tls, "key_file", read.keyFile)});
    // A certificate proves nothing without its key, and a key serves no
    // purpose without the certificate.
    if (refused.empty() && read.certFile.empty() != read.keyFile.empty())
        refused = read.certFile.empty() ? tls.nameOf("key_file") + " needs a cert_file"
                                        : tls.nameOf("cert_file") + " needs a key_file";
    if (refused.empty()) out = read;
    return refused;
}

std::string readDiscoveryPrefix(const SectionReader& mqtt, std::string& prefix) {
    const char* const key = "discovery_prefix";
    std::string read = prefix;
    const char* const what = "must be a topic name without the wildcards + and #";
    if (std::string refused = mqtt.text(key, what, read); !refused.empty()) return refused;
    if (read.empty() || read.size() > kMaxMqttStringBytes ||
        read.find_first_of(kTopicWildcards) != std::string::npos)
        return mqtt.problem(key, what, *mqtt.find(key));
    prefix = read;
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

std::string readMqtt(const json& object, std::optional<MqttSettings>& out) {
    const SectionReader mqtt(object, std::string(kSectionKey) + "." + kMqttKey);
    if (std::string unknown = mqtt.unknownKey({"host", "port", "topic", "username", "password", "client_id",
                                               kTlsKey, "discovery", "discovery_prefix"});
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
                      mqtt.text("client_id", "must be a string", read.clientId),
                      readObjectKey(mqtt, kTlsKey, read.tls, readTls), mqtt.flag("discovery", read.discovery),
                      readDiscoveryPrefix(mqtt, read.discoveryPrefix)});
    if (refused.empty() && read.clientId.size() > kMaxMqttStringBytes)
        refused = mqtt.problem("client_id", "is too long", *mqtt.find("client_id"));
    if (refused.empty() && read.tls && mqtt.find("port") == nullptr) read.port = kMqttTlsPort;
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

// A camera's second stream: packets are copied from it, so it must be one
// that has packets (a URL, or a file standing in for one), not a camera.
std::string readRecordSource(const SectionReader& watch, std::string& out) {
    const char* const what = "must be the URL of a stream (or the path of a video file)";
    std::string read;
    if (std::string refused = watch.text(kRecordSourceKey, what, read); !refused.empty()) return refused;
    if (watch.find(kRecordSourceKey) == nullptr) return "";
    const bool camera = read.size() <= kMaxCameraSourceLength || read.rfind("/dev/", 0) == 0;
    if (read.empty() || camera || read.find_first_of("\r\n") != std::string::npos)
        return watch.problem(kRecordSourceKey, what, *watch.find(kRecordSourceKey));
    out = read;
    return "";
}


// Any name a person would give a camera: no control characters, which no
// log line, page or label should carry.
std::string readName(const SectionReader& watch, std::string& name) {
    const char* const key = "name";
    const std::string what = "must be a name of 1 to " + std::to_string(kMaxWatchNameBytes) +
                             " bytes without control characters";
    std::string read;
    if (std::string refused = watch.text(key, what, read); !refused.empty()) return refused;
    if (watch.find(key) == nullptr) return "";
    const bool control = std::any_of(read.begin(), read.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    if (read.empty() || read.size() > kMaxWatchNameBytes || control)
        return watch.problem(key, what, *watch.find(key));
    name = read;
    return "";
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

std::string readSection(const json& section, WatchSettings& out) {
    if (!section.is_object())
        return std::string(kSectionKey) + " must be an object (got " + shownSettingValue(section) + ")";
    const SectionReader watch(section, kSectionKey);
    const char* const command = "must be a string (a shell command)";
    return firstProblem({
        watch.unknownKey({"name", "source_timeout_seconds", "reconnect_max_seconds", "on_source_lost",
                          "on_source_back", "status_file", "status_interval_seconds", kMqttKey, kWebKey,
                          kRecordSourceKey, "detect_width", "region_file", "light_change_percent"}),
        readName(watch, out.name),
        watch.seconds("source_timeout_seconds", 0.0, false, kMaxWatchSeconds, out.sourceTimeoutSeconds),
        watch.seconds("reconnect_max_seconds", kMinReconnectMaxSeconds, true, kMaxWatchSeconds,
                      out.reconnectMaxSeconds),
        watch.text("on_source_lost", command, out.onSourceLost),
        watch.text("on_source_back", command, out.onSourceBack),
        watch.text("status_file", "must be the path of a file, or empty for none", out.statusFile),
        watch.seconds("status_interval_seconds", 0.0, false, kMaxWatchSeconds, out.statusIntervalSeconds),
        readObjectKey(watch, kMqttKey, out.mqtt, readMqtt),
        readObjectKey(watch, kWebKey, out.web, readWeb),
        readRecordSource(watch, out.recordSource),
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
    if (!refused.empty()) return fileName + ": " + refused;
    if (settings.name.empty()) settings.name = defaultWatchName(fileName);
    return "";
}

std::string defaultWatchName(const std::string& fileName) {
    std::string name = std::filesystem::path(fileName).filename().string();
    const std::size_t extension = std::string(kConfigExtension).size();
    if (name.size() > extension && name.compare(name.size() - extension, extension, kConfigExtension) == 0)
        name.resize(name.size() - extension);
    return name;
}

}  // namespace tarvolen
