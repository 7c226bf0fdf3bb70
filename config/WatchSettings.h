// The optional "Watch" object of Tarvolen.json: what only the unattended
// recorder (tarvolen-watch) does. The live program accepts the object and
// ignores it, so one file serves both.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "config/DetectionSettings.h"

namespace tarvolen {

// Watch.mqtt.tls: the broker is reached over TLS. Every path has been
// found readable when the settings were read.
struct MqttTlsSettings {
    std::string caFile;    // PEM; empty: the system's certificate authorities
    std::string certFile;  // the client's certificate and key, both or neither
    std::string keyFile;
};

// Watch.mqtt: where events and the watcher's state are published.
struct MqttSettings {
    std::string host;  // required
    int port = 1883;   // 8883 with tls, unless given
    std::string topic = "tarvolen";  // messages go to TOPIC/event, TOPIC/status, ...
    std::string username;            // empty: none
    std::string password;            // only with a username
    std::string clientId;            // empty: one made up by the library
    std::optional<MqttTlsSettings> tls;  // absent: a plain connection
    // Home Assistant's MQTT discovery: configurations under this prefix.
    bool discovery = false;
    std::string discoveryPrefix = "homeassistant";
};

// Watch.web: the web view's listening address and access token, checked
// for their types here and for their meaning by the web server.
struct WebSettings {
    std::string listen;  // "host:port"
    std::string token;
};

struct WatchSettings {
    // The camera's name for Home Assistant, the metrics and the web page;
    // readWatchSettings() makes it the configuration file's name without
    // ".json" when the file gives none.
    std::string name;
    double sourceTimeoutSeconds = 10.0;  // no frame this long: the source is lost
    double reconnectMaxSeconds = 30.0;   // the longest pause between two attempts to reopen it
    std::string onSourceLost;            // shell commands; empty: none
    std::string onSourceBack;
    std::string statusFile;              // empty: none
    double statusIntervalSeconds = 5.0;  // between two writes of the status file
    std::optional<MqttSettings> mqtt;    // absent: no MQTT
    std::optional<WebSettings> web;      // absent: no web view
    // A camera's second stream, whose packets are copied into the clips
    // while the source is the stream detected on; empty: none.
    std::string recordSource;
    DetectionSettings detection;         // detect_width, light_change_percent
    std::string regionFile;              // region_file (as tarvolen-scan --region-file); empty: none
};

// Accepted ranges, in seconds.
constexpr double kMaxWatchSeconds = 86400.0;  // a day, for every time of the object
constexpr double kMinReconnectMaxSeconds = 1.0;
constexpr int kMaxMqttPort = 65535;
constexpr int kMqttTlsPort = 8883;
constexpr std::size_t kMaxWatchNameBytes = 200;

// Reads the "Watch" object of a configuration document, strictly: an unknown
// key, a value of the wrong type or out of its range is refused. Returns the
// problem as one line naming the key ("Watch.mqtt.port must be a whole number
// from 1 to 65535 (got 0)"), or an empty string when the object is absent
// (`settings` keeps its defaults) or well formed. `settings` is changed only
// when no problem was found.
std::string parseWatchSettings(std::string_view configText, WatchSettings& settings);

// The same for the configuration file `fileName`; a problem starts with the
// file's name. A name the file does not give is defaultWatchName(fileName).
std::string readWatchSettings(const std::string& fileName, WatchSettings& settings);

// The configuration file's name without its folder and ".json":
// "/etc/tarvolen/frontdoor.json" names the camera "frontdoor".
std::string defaultWatchName(const std::string& fileName);

}  // namespace tarvolen
