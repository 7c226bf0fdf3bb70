#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "config/Configuration.h"
#include "config/EventRecordingSettings.h"
#include "config/WatchSettings.h"

namespace tarvolen {
namespace {

const char* const kParams = R"("Config_Params": {"video_source_init_string": "0", "min_object_width": 2,
    "max_object_width": 64, "min_object_height": 2, "max_object_height": 64, "object_detection_criterion": 2,
    "pixel_deviation": 10.0, "alpha_coeff": 0.01, "num_threads": 1, "num_frames": 30})";

std::string withWatch(const std::string& section) {
    return std::string("{") + kParams + ", \"Watch\": " + section + "}";
}

TEST(WatchSettings, AbsentObjectKeepsTheDefaults) {
    WatchSettings settings;
    ASSERT_EQ(parseWatchSettings(std::string("{") + kParams + "}", settings), "");
    EXPECT_EQ(settings.sourceTimeoutSeconds, 10.0);
    EXPECT_EQ(settings.reconnectMaxSeconds, 30.0);
    EXPECT_EQ(settings.statusIntervalSeconds, 5.0);
    EXPECT_TRUE(settings.statusFile.empty());
    EXPECT_FALSE(settings.mqtt);
    EXPECT_FALSE(settings.web);
}

// A PEM file the TLS keys may name: any readable file passes the reader.
const std::string kReadableFile = TARVOLEN_EXAMPLE_CONFIG;

TEST(WatchSettings, EveryKeyIsRead) {
    WatchSettings settings;
    ASSERT_EQ(parseWatchSettings(withWatch(R"({"name": "Front door",
        "source_timeout_seconds": 2.5, "reconnect_max_seconds": 1, "on_source_lost": "logger lost",
        "on_source_back": "logger back", "status_file": "/run/cam/status.json", "status_interval_seconds": 0.5,
        "mqtt": {"host": "broker.lan", "port": 8884, "topic": "home/cam1", "username": "u", "password": "p",
                 "client_id": "cam1", "discovery": true, "discovery_prefix": "ha",
                 "tls": {"ca_file": ")" + kReadableFile + R"(", "cert_file": ")" + kReadableFile +
                                                R"(", "key_file": ")" + kReadableFile + R"("}},
        "web": {"listen": "127.0.0.1:8080", "token": "s3cret"}, "detect_width": 640, "region_file": "cam1.json",
        "light_change_percent": 62.5})"),
                                 settings),
              "");
    EXPECT_EQ(settings.name, "Front door");
    EXPECT_EQ(settings.sourceTimeoutSeconds, 2.5);
    EXPECT_EQ(settings.reconnectMaxSeconds, 1.0);
    EXPECT_EQ(settings.onSourceLost, "logger lost");
    EXPECT_EQ(settings.onSourceBack, "logger back");
    EXPECT_EQ(settings.statusFile, "/run/cam/status.json");
    EXPECT_EQ(settings.statusIntervalSeconds, 0.5);
    ASSERT_TRUE(settings.mqtt);
    EXPECT_EQ(settings.mqtt->host, "broker.lan");
    EXPECT_EQ(settings.mqtt->port, 8884);
    EXPECT_EQ(settings.mqtt->topic, "home/cam1");
    EXPECT_TRUE(settings.mqtt->discovery);
    EXPECT_EQ(settings.mqtt->discoveryPrefix, "ha");
    ASSERT_TRUE(settings.mqtt->tls);
    EXPECT_EQ(settings.mqtt->tls->caFile, kReadableFile);
    EXPECT_EQ(settings.mqtt->tls->certFile, kReadableFile);
    EXPECT_EQ(settings.mqtt->tls->keyFile, kReadableFile);
    EXPECT_EQ(settings.mqtt->username, "u");
    EXPECT_EQ(settings.mqtt->password, "p");
    EXPECT_EQ(settings.mqtt->clientId, "cam1");
    ASSERT_TRUE(settings.web);
    EXPECT_EQ(settings.web->listen, "127.0.0.1:8080");
    EXPECT_EQ(settings.web->token, "s3cret");
    EXPECT_EQ(settings.detection.detectWidth, 640);
    EXPECT_EQ(settings.regionFile, "cam1.json");
    EXPECT_EQ(settings.detection.lightChangePercent, 62.5);
}

TEST(WatchSettings, MqttTakesItsDefaultsAndTheRangeLimits) {
    WatchSettings settings;
    ASSERT_EQ(parseWatchSettings(withWatch(R"({"mqtt": {"host": "10.0.0.2"}})"), settings), "");
    ASSERT_TRUE(settings.mqtt);
    EXPECT_EQ(settings.mqtt->port, 1883);
    EXPECT_EQ(settings.mqtt->topic, "tarvolen");
    EXPECT_TRUE(settings.mqtt->username.empty());
    EXPECT_TRUE(settings.mqtt->clientId.empty());
    EXPECT_FALSE(settings.mqtt->tls);
    EXPECT_FALSE(settings.mqtt->discovery);
    EXPECT_EQ(settings.mqtt->discoveryPrefix, "homeassistant");
    // TLS has a port of its own; an empty object trusts the system's authorities.
    ASSERT_EQ(parseWatchSettings(withWatch(R"({"mqtt": {"host": "h", "tls": {}}})"), settings), "");
    EXPECT_EQ(settings.mqtt->port, 8883);
    ASSERT_TRUE(settings.mqtt->tls);
    EXPECT_TRUE(settings.mqtt->tls->caFile.empty());
    ASSERT_EQ(parseWatchSettings(withWatch(R"({"mqtt": {"host": "h", "port": 65535.0},
                                                "source_timeout_seconds": 86400, "reconnect_max_seconds": 86400})"),
                                 settings),
              "");
    EXPECT_EQ(settings.mqtt->port, 65535);
    ASSERT_EQ(parseWatchSettings(withWatch(R"({"mqtt": {"host": "h", "port": 1}})"), settings), "");
    EXPECT_EQ(settings.mqtt->port, 1);
}

struct Refused {
    const char* section;  // the Watch value
    const char* problem;  // the whole line
};

class RefusedWatch : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedWatch, NamesTheKeyAndChangesNothing) {
    WatchSettings settings;
    settings.statusFile = "kept";
    EXPECT_EQ(parseWatchSettings(withWatch(GetParam().section), settings), GetParam().problem);
    EXPECT_EQ(settings.statusFile, "kept");
    EXPECT_FALSE(settings.mqtt);
}

INSTANTIATE_TEST_SUITE_P(
    EveryKey, RefusedWatch,
    ::testing::Values(
        Refused{R"("on")", R"(Watch must be an object (got "on"))"},
        Refused{R"({"colour": 1})", R"(Watch has an unknown key "colour")"},
        Refused{R"({"status_file": "s", "source_timeout": 1})",
                R"(Watch has an unknown key "source_timeout")"},
        Refused{R"({"source_timeout_seconds": 0})",
                "Watch.source_timeout_seconds must be a number above 0 and at most 86400 (got 0)"},
        Refused{R"({"source_timeout_seconds": "10"})",
                R"(Watch.source_timeout_seconds must be a number above 0 and at most 86400 (got "10"))"},
        Refused{R"({"source_timeout_seconds": 86401})",
                "Watch.source_timeout_seconds must be a number above 0 and at most 86400 (got 86401)"},
        Refused{R"({"reconnect_max_seconds": 0.5})",
                "Watch.reconnect_max_seconds must be a number from 1 to 86400 (got 0.5)"},
        Refused{R"({"reconnect_max_seconds": true})",
                "Watch.reconnect_max_seconds must be a number from 1 to 86400 (got true)"},
        Refused{R"({"on_source_lost": 5})",
                "Watch.on_source_lost must be a string (a shell command) (got 5)"},
        Refused{R"({"on_source_back": ["a"]})",
                R"(Watch.on_source_back must be a string (a shell command) (got ["a"]))"},
        Refused{R"({"status_file": null})",
                "Watch.status_file must be the path of a file, or empty for none (got null)"},
        Refused{R"({"status_interval_seconds": -1})",
                "Watch.status_interval_seconds must be a number above 0 and at most 86400 (got -1)"},
        Refused{R"({"mqtt": "broker"})", R"(Watch.mqtt must be an object (got "broker"))"},
        Refused{R"({"mqtt": {"host": "h", "qos": 2}})", R"(Watch.mqtt has an unknown key "qos")"},
        Refused{R"({"mqtt": {"port": 1883}})", "Watch.mqtt.host is missing"},
        Refused{R"({"mqtt": {"host": ""}})", R"(Watch.mqtt.host must be a host name or address (got ""))"},
        Refused{R"({"mqtt": {"host": "a b"}})",
                R"(Watch.mqtt.host must be a host name or address (got "a b"))"},
        Refused{R"({"mqtt": {"host": 5}})", "Watch.mqtt.host must be a host name or address (got 5)"},
        Refused{R"({"mqtt": {"host": "h", "port": 0}})",
                "Watch.mqtt.port must be a whole number from 1 to 65535 (got 0)"},
        Refused{R"({"mqtt": {"host": "h", "port": 65536}})",
                "Watch.mqtt.port must be a whole number from 1 to 65535 (got 65536)"},
        Refused{R"({"mqtt": {"host": "h", "port": 1883.5}})",
                "Watch.mqtt.port must be a whole number from 1 to 65535 (got 1883.5)"},
        Refused{R"({"mqtt": {"host": "h", "port": "1883"}})",
                R"(Watch.mqtt.port must be a whole number from 1 to 65535 (got "1883"))"},
        Refused{R"({"mqtt": {"host": "h", "topic": ""}})",
                R"(Watch.mqtt.topic must be a topic name without the wildcards + and # (got ""))"},
        Refused{R"({"mqtt": {"host": "h", "topic": "home/#"}})",
                R"(Watch.mqtt.topic must be a topic name without the wildcards + and # (got "home/#"))"},
        Refused{R"({"mqtt": {"host": "h", "topic": "a/+/b"}})",
                R"(Watch.mqtt.topic must be a topic name without the wildcards + and # (got "a/+/b"))"},
        Refused{R"({"mqtt": {"host": "h", "topic": 7}})",
                "Watch.mqtt.topic must be a topic name without the wildcards + and # (got 7)"},
        Refused{R"({"mqtt": {"host": "h", "username": 1}})", "Watch.mqtt.username must be a string (got 1)"},
        Refused{R"({"mqtt": {"host": "h", "username": "u", "password": false}})",
                "Watch.mqtt.password must be a string (got false)"},
        Refused{R"({"mqtt": {"host": "h", "password": "p"}})", "Watch.mqtt.password needs a username"},
        Refused{R"({"mqtt": {"host": "h", "client_id": {}}})",
                "Watch.mqtt.client_id must be a string (got {})"},
        Refused{R"({"web": 8080})", "Watch.web must be an object (got 8080)"},
        Refused{R"({"web": {"port": 1}})", R"(Watch.web has an unknown key "port")"},
        Refused{R"({"web": {"listen": 8080}})",
                R"(Watch.web.listen must be a string "host:port" (got 8080))"},
        Refused{R"({"web": {"listen": ":1", "token": true}})",
                "Watch.web.token must be a string (got true)"},
        Refused{R"({"name": ""})",
                R"(Watch.name must be a name of 1 to 200 bytes without control characters (got ""))"},
        Refused{R"({"name": "cam\n1"})",
                R"(Watch.name must be a name of 1 to 200 bytes without control characters (got "cam\n1"))"},
        Refused{R"({"mqtt": {"host": "h", "discovery": "yes"}})",
                R"(Watch.mqtt.discovery must be true or false (got "yes"))"},
        Refused{R"({"mqtt": {"host": "h", "discovery_prefix": "ha/#"}})",
                R"(Watch.mqtt.discovery_prefix must be a topic name without the wildcards + and # (got "ha/#"))"},
        Refused{R"({"mqtt": {"host": "h", "tls": true}})", "Watch.mqtt.tls must be an object (got true)"},
        Refused{R"({"mqtt": {"host": "h", "tls": {"ca": "x"}}})", R"(Watch.mqtt.tls has an unknown key "ca")"},
        Refused{R"({"mqtt": {"host": "h", "tls": {"ca_file": "/nonexistent/ca.pem"}}})",
                "Watch.mqtt.tls.ca_file cannot be read: /nonexistent/ca.pem (No such file or directory)"},
        // A record source must have packets to copy: a camera has frames.
        Refused{R"({"record_source": "0"})",
                R"(Watch.record_source must be the URL of a stream (or the path of a video file) (got "0"))"},
        Refused{R"({"record_source": "/dev/video2"})",
                R"(Watch.record_source must be the URL of a stream (or the path of a video file) (got "/dev/video2"))"},
        Refused{R"({"record_source": 5})",
                R"(Watch.record_source must be the URL of a stream (or the path of a video file) (got 5))"},
        Refused{R"({"mqtt": {"host": "h", "tls": {"ca_file": "/"}}})",
                "Watch.mqtt.tls.ca_file cannot be read: / (not a regular file)"},
        Refused{R"({"mqtt": {"host": "h", "tls": {"cert_file": ")" TARVOLEN_EXAMPLE_CONFIG R"("}}})",
                "Watch.mqtt.tls.cert_file needs a key_file"},
        Refused{R"({"mqtt": {"host": "h", "tls": {"key_file": ")" TARVOLEN_EXAMPLE_CONFIG R"("}}})",
                "Watch.mqtt.tls.key_file needs a cert_file"},
        Refused{
            R"({"detect_width": 15})",
            "Watch.detect_width must be 0 (frames as delivered) or a whole number from 16 to 7680 (got 15)"},
        Refused{R"({"detect_width": 640.5})",
                "Watch.detect_width must be 0 (frames as delivered) or a whole number from 16 to 7680 (got "
                "640.5)"},
        Refused{
            R"({"detect_width": "640"})",
            R"(Watch.detect_width must be 0 (frames as delivered) or a whole number from 16 to 7680 (got "640"))"},
        Refused{R"({"light_change_percent": 0.5})",
                "Watch.light_change_percent must be 0 (off) or a number from 1 to 100 (got 0.5)"},
        Refused{R"({"light_change_percent": true})",
                "Watch.light_change_percent must be 0 (off) or a number from 1 to 100 (got true)"},
        Refused{
            R"({"region_file": ["a.json"]})",
            R"(Watch.region_file must be the path of a region file, or empty for none (got ["a.json"]))"}));

TEST(WatchSettings, AFileProblemStartsWithItsName) {
    const test::TempFolder temp;
    const std::filesystem::path file = temp.path() / "watch-settings.json";
    test::writeFile(file, withWatch(R"({"mqtt": {"host": "h", "port": 0}})"));
    WatchSettings settings;
    EXPECT_EQ(readWatchSettings(file.string(), settings),
              file.string() + ": Watch.mqtt.port must be a whole number from 1 to 65535 (got 0)");
    std::filesystem::remove(file);
    EXPECT_EQ(readWatchSettings(file.string(), settings), file.string() + ": cannot be read");
}

TEST(WatchSettings, TheCameraIsNamedAfterItsFileUnlessNamed) {
    const std::filesystem::path file = std::filesystem::temp_directory_path() / "front.door.json";
    std::ofstream(file) << withWatch("{}");
    WatchSettings settings;
    ASSERT_EQ(readWatchSettings(file.string(), settings), "");
    EXPECT_EQ(settings.name, "front.door");
    std::ofstream(file) << withWatch(R"({"name": "Garage"})");
    ASSERT_EQ(readWatchSettings(file.string(), settings), "");
    EXPECT_EQ(settings.name, "Garage");
    std::filesystem::remove(file);
    EXPECT_EQ(defaultWatchName("/etc/tarvolen/cam.conf"), "cam.conf");
}

// One file serves both programs: the live program's readers take a file with
// a Watch object, even one the watcher would refuse, as if it were not there.
TEST(WatchSettings, TheLiveProgramIgnoresTheWatchObject) {
    const std::string text = std::string("{") + kParams +
                             R"(, "Event_Recording": {"enabled": true, "folder": "ev"},
                                  "Watch": {"mqtt": {"port": "not a port"}, "unknown": 1}})";
    Configuration config;
    EXPECT_TRUE(parseConfiguration(text, config));
    EXPECT_EQ(config.videoSource, "0");
    EventRecordingSettings events;
    EXPECT_EQ(parseEventRecordingSettings(text, events), "");
    EXPECT_TRUE(events.enabled);
    EXPECT_EQ(events.folder, "ev");
}

}  // namespace
}  // namespace tarvolen
