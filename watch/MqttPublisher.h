// Publishing the watcher's events and state to an MQTT broker:
//
//   TOPIC/status    "online" (retained) while connected; "offline" (retained)
//                   when the watcher stops or, as the broker's last will, when
//                   its connection dies without a goodbye
//   TOPIC/event     an event's start and its end (not retained)
//   TOPIC/motion    "ON" while an event is open, "OFF" otherwise (retained)
//   TOPIC/snapshot  the JPEG bytes of the latest event's snapshot (retained)
//   TOPIC/stats     the status object, as the status file holds it (retained)
//
// and, with discovery, Home Assistant's configurations (retained). Every
// retained message is said again on each connection, so that a broker that
// restarted without keeping them learns them again.
//
// The client runs on a thread of its own: connecting (over TLS when asked),
// reconnecting with growing pauses and sending all happen there, so a broker
// that is down, goes away or cannot be verified never holds up or ends the
// watcher.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/WatchSettings.h"
#include "watch/HomeAssistant.h"
#include "watch/Notices.h"

struct mosquitto;

namespace tarvolen {

// The message of an event's start: {"type":"start", the fields of
// eventStartJsonLine(), "source"}.
std::string eventStartMessage(const std::string& startJson, const std::string& source);
// The message of an event's end: {"type":"end", the fields of its log line,
// "source"}.
std::string eventEndMessage(const std::string& logLine, const std::string& source);

// What the broker is told of the camera beyond its events (with discovery).
struct MqttCamera {
    std::string name = "tarvolen";  // Watch.name
    bool snapshots = false;         // Event_Recording.snapshot
};

class MqttPublisher {
public:
    // Between two attempts to reach the broker, doubling from the first to
    // the last.
    static constexpr std::chrono::seconds kFirstReconnectPause{1};
    static constexpr std::chrono::seconds kLastReconnectPause{30};
    // How long the goodbye ("offline") may take when the watcher stops.
    static constexpr std::chrono::milliseconds kGoodbyeTimeout{1000};
    // The longest the client's thread waits on the network before it looks
    // for a stop again; anything published wakes it at once.
    static constexpr std::chrono::milliseconds kNetworkWait{250};

    // Starts connecting in the background. The lines "MQTT connected to
    // HOST:PORT" and "MQTT broker unreachable: HOST:PORT (reason)" go to
    // `notices`, once per change; over TLS the reason of a refused handshake
    // is OpenSSL's ("certificate verify failed"). Throws std::runtime_error
    // (one line) when the client cannot be set up at all.
    MqttPublisher(const MqttSettings& settings, Notices& notices, const MqttCamera& camera = MqttCamera());
    // Says "OFF" and "offline" (retained) when connected, waiting
    // kGoodbyeTimeout at most, and stops the client's thread.
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Publishes on TOPIC/event; dropped while the broker is away (the event
    // log keeps every event).
    void publishEvent(const std::string& message);
    // TOPIC/motion: said when it changes, and on each connection.
    void publishMotion(bool eventOpen);
    // TOPIC/snapshot and TOPIC/stats: the latest is kept and said on each
    // connection.
    void publishSnapshot(std::string jpeg);
    void publishStats(std::string statusJson);
    bool connected() const { return isConnected.load(); }

private:
    static void onConnect(mosquitto* client, void* self, int result);
    static void onDisconnect(mosquitto* client, void* self, int reason);
    static void onPublish(mosquitto* client, void* self, int messageId);
    static void onLog(mosquitto* client, void* self, int level, const char* text);
    void setUpTls();
    void run();
    bool stopRequested();
    bool pauseBeforeRetry(std::chrono::seconds pause);
    void connectedNow(int result);
    void disconnectedNow(int reason);
    void publishedNow(int messageId);
    void libraryError(const std::string& text);
    std::string reasonFor(int result, int savedErrno);
    void sayUnreachable(const std::string& reason);
    int publish(const std::string& topic, const std::string& payload, bool retain, int* messageId = nullptr);
    // Keeps `payload` as the topic's retained message and, when connected,
    // publishes it; with `onlyChanges`, an unchanged payload is not said again.
    void keep(const std::string& topic, std::string payload, bool onlyChanges);
    void keepLocked(const std::string& topic, std::string payload, bool onlyChanges);
    void sayGoodbye();

    const MqttSettings settings;
    const std::string where;  // "HOST:PORT"
    Notices& notices;
    mosquitto* client = nullptr;
    std::atomic<bool> isConnected{false};
    std::mutex mutex;                 // guards what follows
    std::condition_variable changed;  // the goodbye acknowledged, the connection gone, a stop
    std::vector<RetainedMessage> retained;  // said on each connection, in this order
    bool unreachableSaid = false;  // since the last connection
    int goodbyeId = -1;
    bool goodbyeDone = false;
    bool stopping = false;
    std::string tlsFailure;  // OpenSSL's reason for the latest failed attempt
    std::thread thread;      // last: starts once everything above is ready
};

}  // namespace tarvolen
