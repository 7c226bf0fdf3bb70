// Home Assistant's MQTT discovery: retained configurations under the
// discovery prefix that make one camera appear as one device with a motion
// sensor, a camera showing the latest event's snapshot, and sensors for the
// frames per second and the events recorded, all available while the
// watcher's TOPIC/status says "online".
#pragma once

#include <string>
#include <vector>

namespace tarvolen {

// A message the broker keeps for later subscribers. An empty payload removes
// what it kept on that topic.
struct RetainedMessage {
    std::string topic;
    std::string payload;
};

struct HomeAssistantDevice {
    std::string name;    // Watch.name, as people see it
    std::string topic;   // Watch.mqtt.topic: the state topics lie under it
    std::string prefix;  // Watch.mqtt.discovery_prefix
    bool snapshots = false;  // Event_Recording.snapshot: TOPIC/snapshot is published
    std::string version;
};

// The name reduced to [a-z0-9_] for Home Assistant's node and object ids:
// letters lowered, every run of other bytes one "_", none at either end
// ("Front door #2" -> "front_door_2"). A name with nothing left (one in
// another script) gets "camera_" and eight hexadecimal digits of a hash of
// it, so that two such names still differ.
std::string homeAssistantId(const std::string& name);

// The configurations, in the order they are published: the motion sensor,
// the camera (an empty payload without snapshots, so that one announced
// before disappears), the frames per second and the events count. Each names
// PREFIX/COMPONENT/ID/ID_OBJECT/config as its topic.
std::vector<RetainedMessage> homeAssistantDiscovery(const HomeAssistantDevice& device);

}  // namespace tarvolen
