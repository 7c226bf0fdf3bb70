// Publishing the watcher's events and state to an MQTT broker: TOPIC/event
// when an event starts and when it ends, TOPIC/status "online" (retained)
// while connected, and "offline" (retained) when the watcher stops or, as the
// broker's last will, when its connection dies without a goodbye.
//
// The client runs on libmosquitto's own thread: connecting, reconnecting
// with growing pauses and sending all happen there, so a broker that is down
// or goes away never holds up or ends the watcher.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "config/WatchSettings.h"
#include "watch/Notices.h"

struct mosquitto;

namespace tarvolen {

// The message of an event's start: {"type":"start", the fields of
// eventStartJsonLine(), "source"}.
std::string eventStartMessage(const std::string& startJson, const std::string& source);
// The message of an event's end: {"type":"end", the fields of its log line,
// "source"}.
std::string eventEndMessage(const std::string& logLine, const std::string& source);

class MqttPublisher {
public:
    // Between two attempts to reach the broker, growing from the first to the
    // last, in seconds (libmosquitto counts whole seconds).
    static constexpr unsigned kFirstReconnectSeconds = 1;
    static constexpr unsigned kLastReconnectSeconds = 30;
    // How long the goodbye ("offline") may take when the watcher stops.
    static constexpr std::chrono::milliseconds kGoodbyeTimeout{1000};

    // Starts connecting in the background. The lines "MQTT connected to
    // HOST:PORT" and "MQTT broker unreachable: HOST:PORT (reason)" go to
    // `notices`, once per change. Throws std::runtime_error (one line) when
    // the client cannot be set up at all.
    MqttPublisher(const MqttSettings& settings, Notices& notices);
    // Says "offline" (retained) when connected, waiting kGoodbyeTimeout at
    // most, and stops the client's thread.
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Publishes on TOPIC/event; dropped while the broker is away (the event
    // log keeps every event).
    void publishEvent(const std::string& message);
    bool connected() const { return isConnected.load(); }

private:
    static void onConnect(mosquitto* client, void* self, int result);
    static void onDisconnect(mosquitto* client, void* self, int reason);
    static void onPublish(mosquitto* client, void* self, int messageId);
    void connectedNow(int result);
    void disconnectedNow(int reason);
    void publishedNow(int messageId);
    void sayUnreachable(const std::string& reason);
    int publish(const std::string& topic, const std::string& payload, bool retain, int* messageId = nullptr);
    void sayGoodbye();

    const MqttSettings settings;
    const std::string where;  // "HOST:PORT"
    Notices& notices;
    mosquitto* client = nullptr;
    std::atomic<bool> isConnected{false};
    std::mutex mutex;
    std::condition_variable goodbyeSent;
    bool unreachableSaid = false;  // since the last connection
    int goodbyeId = -1;
    bool goodbyeDone = false;
};

}  // namespace tarvolen
