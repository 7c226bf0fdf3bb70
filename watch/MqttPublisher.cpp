#include "watch/MqttPublisher.h"

#include <mosquitto.h>

#include <stdexcept>

#include <nlohmann/json.hpp>

namespace tarvolen {
namespace {

using json = nlohmann::ordered_json;

const char* const kOnline = "online";
const char* const kOffline = "offline";
// At least once: a broker that restarts keeps no half-sent status.
constexpr int kQos = 1;
constexpr int kKeepAliveSeconds = 30;

// libmosquitto's set-up is not thread-safe and needs doing once.
void initialiseLibrary() {
    static const int initialised = mosquitto_lib_init();
    (void)initialised;
}

// {"type": type, the fields of `line`, "source": source}; a line that is not
// a JSON object (it always is) travels whole under "event".
std::string eventMessage(const char* type, const std::string& line, const std::string& source) {
    json message;
    message["type"] = type;
    const json fields = json::parse(line, nullptr, false);
    if (fields.is_object()) {
        for (const auto& item : fields.items()) message[item.key()] = item.value();
    } else {
        message["event"] = line;
    }
    message["source"] = source;
    return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

void failIf(int result, const char* what) {
    if (result != MOSQ_ERR_SUCCESS)
        throw std::runtime_error(std::string("MQTT: ") + what + ": " + mosquitto_strerror(result));
}

}  // namespace

std::string eventStartMessage(const std::string& startJson, const std::string& source) {
    return eventMessage("start", startJson, source);
}

std::string eventEndMessage(const std::string& logLine, const std::string& source) {
    return eventMessage("end", logLine, source);
}

MqttPublisher::MqttPublisher(const MqttSettings& s, Notices& lines)
    : settings(s), where(s.host + ":" + std::to_string(s.port)), notices(lines) {
    initialiseLibrary();
    client = mosquitto_new(settings.clientId.empty() ? nullptr : settings.clientId.c_str(), true, this);
    if (client == nullptr) throw std::runtime_error("MQTT: the client cannot be made (client_id refused?)");
    try {
        const std::string status = settings.topic + "/status";
        failIf(mosquitto_will_set(client, status.c_str(), static_cast<int>(std::string(kOffline).size()),
                                  kOffline, kQos, true),
               "the last will is refused");
        if (!settings.username.empty())
            failIf(mosquitto_username_pw_set(client, settings.username.c_str(),
                                             settings.password.empty() ? nullptr : settings.password.c_str()),
                   "the user name is refused");
        failIf(mosquitto_reconnect_delay_set(client, kFirstReconnectSeconds, kLastReconnectSeconds, true),
               "the reconnect delay is refused");
        mosquitto_connect_callback_set(client, &MqttPublisher::onConnect);
        mosquitto_disconnect_callback_set(client, &MqttPublisher::onDisconnect);
        mosquitto_publish_callback_set(client, &MqttPublisher::onPublish);
        failIf(mosquitto_loop_start(client), "its thread cannot start");
    } catch (...) {
        mosquitto_destroy(client);
        throw;
    }
    // A failure to connect now (a name that does not resolve, a refusal) is
    // retried by the client's thread like any later loss.
    const int result =
        mosquitto_connect_async(client, settings.host.c_str(), settings.port, kKeepAliveSeconds);
    if (result != MOSQ_ERR_SUCCESS) sayUnreachable(mosquitto_strerror(result));
}

MqttPublisher::~MqttPublisher() {
    sayGoodbye();
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, false);
    mosquitto_destroy(client);
}

void MqttPublisher::sayGoodbye() {
    if (!isConnected.load()) return;
    int messageId = -1;
    std::unique_lock<std::mutex> lock(mutex);
    if (publish(settings.topic + "/status", kOffline, true, &messageId) != MOSQ_ERR_SUCCESS) return;
    goodbyeId = messageId;
    goodbyeSent.wait_for(lock, kGoodbyeTimeout, [this] { return goodbyeDone || !isConnected.load(); });
}

void MqttPublisher::publishEvent(const std::string& message) {
    publish(settings.topic + "/event", message, false);
}

int MqttPublisher::publish(const std::string& topic, const std::string& payload, bool retain,
                           int* messageId) {
    return mosquitto_publish(client, messageId, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), kQos, retain);
}

void MqttPublisher::onConnect(mosquitto*, void* self, int result) {
    static_cast<MqttPublisher*>(self)->connectedNow(result);
}

void MqttPublisher::onDisconnect(mosquitto*, void* self, int reason) {
    static_cast<MqttPublisher*>(self)->disconnectedNow(reason);
}

void MqttPublisher::onPublish(mosquitto*, void* self, int messageId) {
    static_cast<MqttPublisher*>(self)->publishedNow(messageId);
}

void MqttPublisher::connectedNow(int result) {
    if (result != 0) {
        sayUnreachable(mosquitto_connack_string(result));
        return;
    }
    publish(settings.topic + "/status", kOnline, true);
    {
        std::lock_guard<std::mutex> lock(mutex);
        unreachableSaid = false;
        isConnected.store(true);
    }
    notices.add("MQTT connected to " + where);
}

void MqttPublisher::disconnectedNow(int reason) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        isConnected.store(false);
    }
    goodbyeSent.notify_all();
    // Reason 0: the watcher itself said goodbye.
    if (reason != 0) sayUnreachable(mosquitto_strerror(reason));
}

void MqttPublisher::publishedNow(int messageId) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (messageId != goodbyeId) return;
        goodbyeDone = true;
    }
    goodbyeSent.notify_all();
}

void MqttPublisher::sayUnreachable(const std::string& reason) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (unreachableSaid) return;
        unreachableSaid = true;
    }
    notices.add("MQTT broker unreachable: " + where + " (" + reason + ")");
}

}  // namespace tarvolen
