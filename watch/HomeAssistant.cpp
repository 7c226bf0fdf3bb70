#include "watch/HomeAssistant.h"

#include <cstdint>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace tarvolen {
namespace {

using json = nlohmann::ordered_json;

const char* const kUniquePrefix = "tarvolen_";
const char* const kManufacturer = "Tarvolen";
const char* const kModel = "tarvolen-watch";
const char* const kOnline = "online";
const char* const kOffline = "offline";

// FNV-1a, 32 bits: stable across runs and machines, which std::hash is not.
std::uint32_t stableHash(const std::string& text) {
    constexpr std::uint32_t kOffsetBasis = 2166136261u;
    constexpr std::uint32_t kPrime = 16777619u;
    std::uint32_t hash = kOffsetBasis;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= kPrime;
    }
    return hash;
}

// What every configuration shares: the availability and the one device.
json common(const HomeAssistantDevice& device, const std::string& id, const std::string& object,
            const std::string& entityName) {
    json config;
    config["name"] = entityName;
    config["unique_id"] = kUniquePrefix + id + "_" + object;
    config["availability_topic"] = device.topic + "/status";
    config["payload_available"] = kOnline;
    config["payload_not_available"] = kOffline;
    config["device"] = json{{"identifiers", json::array({kUniquePrefix + id})},
                            {"name", device.name},
                            {"model", kModel},
                            {"manufacturer", kManufacturer},
                            {"sw_version", device.version}};
    return config;
}

RetainedMessage message(const HomeAssistantDevice& device, const std::string& id, const char* component,
                        const std::string& object, const json& config) {
    RetainedMessage m;
    m.topic = device.prefix + "/" + component + "/" + id + "/" + id + "_" + object + "/config";
    if (!config.is_null()) m.payload = config.dump(-1, ' ', false, json::error_handler_t::replace);
    return m;
}

}  // namespace

std::string homeAssistantId(const std::string& name) {
    std::string id;
    bool separator = false;
    for (const char c : name) {
        const bool lower = c >= 'a' && c <= 'z';
        const bool upper = c >= 'A' && c <= 'Z';
        const bool digit = c >= '0' && c <= '9';
        if (!lower && !upper && !digit) {
            separator = true;
            continue;
        }
        if (separator && !id.empty()) id += '_';
        separator = false;
        id += upper ? static_cast<char>(c - 'A' + 'a') : c;
    }
    if (!id.empty()) return id;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(stableHash(name)));
    return std::string("camera_") + hex;
}

std::vector<RetainedMessage> homeAssistantDiscovery(const HomeAssistantDevice& device) {
    const std::string id = homeAssistantId(device.name);
    std::vector<RetainedMessage> out;

    json motion = common(device, id, "motion", "Motion");
    motion["state_topic"] = device.topic + "/motion";
    motion["device_class"] = "motion";
    motion["payload_on"] = "ON";
    motion["payload_off"] = "OFF";
    out.push_back(message(device, id, "binary_sensor", "motion", motion));

    json camera;  // null: the camera is removed
    if (device.snapshots) {
        camera = common(device, id, "snapshot", "Snapshot");
        camera["topic"] = device.topic + "/snapshot";
    }
    out.push_back(message(device, id, "camera", "snapshot", camera));

    json fps = common(device, id, "fps", "Frames per second");
    fps["state_topic"] = device.topic + "/stats";
    fps["value_template"] = "{{ value_json.fps }}";
    fps["unit_of_measurement"] = "fps";
    fps["state_class"] = "measurement";
    fps["entity_category"] = "diagnostic";
    out.push_back(message(device, id, "sensor", "fps", fps));

    json events = common(device, id, "events", "Events");
    events["state_topic"] = device.topic + "/stats";
    events["value_template"] = "{{ value_json.events }}";
    events["state_class"] = "total_increasing";
    out.push_back(message(device, id, "sensor", "events", events));
    return out;
}

}  // namespace tarvolen
