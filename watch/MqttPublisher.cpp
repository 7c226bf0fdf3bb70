#include "watch/MqttPublisher.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "watch/WatchStatus.h"

namespace tarvolen {
namespace {

using json = nlohmann::ordered_json;

const char* const kOnline = "online";
const char* const kOffline = "offline";
const char* const kMotionOn = "ON";
const char* const kMotionOff = "OFF";
// What libmosquitto's log says of a failed TLS handshake:
// "OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify failed".
const char* const kOpenSslLogPrefix = "OpenSSL Error";
// Debian's folder of the system's certificate authorities. libmosquitto
// wants a file or a folder of them; with the system's, OpenSSL's own
// defaults (which SSL_CERT_FILE and SSL_CERT_DIR may change) apply too.
const char* const kSystemCertificates = "/etc/ssl/certs";
constexpr int kVerifyPeer = 1;  // OpenSSL's SSL_VERIFY_PEER: a broker that does not verify is refused
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

// An encrypted key is refused rather than asked for on a terminal that an
// unattended watcher does not have.
int refusePassword(char*, int, int, void*) { return 0; }

// The callbacks run inside libmosquitto's C code: nothing may escape them.
template <typename Call>
void guarded(Call call) noexcept {
    try {
        call();
    } catch (...) {
    }
}

}  // namespace

std::string eventStartMessage(const std::string& startJson, const std::string& source) {
    return eventMessage("start", startJson, source);
}

std::string eventEndMessage(const std::string& logLine, const std::string& source) {
    return eventMessage("end", logLine, source);
}

MqttPublisher::MqttPublisher(const MqttSettings& s, Notices& lines, const MqttCamera& camera)
    : settings(s), where(s.host + ":" + std::to_string(s.port)), notices(lines) {
    initialiseLibrary();
    if (settings.discovery)
        retained = homeAssistantDiscovery(
            {camera.name, settings.topic, settings.discoveryPrefix, camera.snapshots, kWatchVersion});
    retained.push_back({settings.topic + "/motion", kMotionOff});
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
        if (settings.tls) setUpTls();
        // Publishing from the watcher's threads only queues; this client's
        // own thread does all the sending.
        failIf(mosquitto_threaded_set(client, true), "threads are refused");
        mosquitto_connect_callback_set(client, &MqttPublisher::onConnect);
        mosquitto_disconnect_callback_set(client, &MqttPublisher::onDisconnect);
        mosquitto_publish_callback_set(client, &MqttPublisher::onPublish);
        mosquitto_log_callback_set(client, &MqttPublisher::onLog);
        thread = std::thread(&MqttPublisher::run, this);
    } catch (...) {
        mosquitto_destroy(client);
        throw;
    }
}

MqttPublisher::~MqttPublisher() {
    sayGoodbye();
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    mosquitto_disconnect(client);
    thread.join();
    mosquitto_destroy(client);
}

// The broker's certificate must come from the authority given (or one of the
// system's) and name the host connected to.
void MqttPublisher::setUpTls() {
    const MqttTlsSettings& tls = *settings.tls;
    const bool systemAuthorities = tls.caFile.empty();
    if (systemAuthorities)
        failIf(mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1), "the system's authorities are refused");
    failIf(mosquitto_tls_set(client, systemAuthorities ? nullptr : tls.caFile.c_str(),
                             systemAuthorities ? kSystemCertificates : nullptr,
                             tls.certFile.empty() ? nullptr : tls.certFile.c_str(),
                             tls.keyFile.empty() ? nullptr : tls.keyFile.c_str(), &refusePassword),
           "TLS is refused");
    failIf(mosquitto_tls_opts_set(client, kVerifyPeer, nullptr, nullptr), "TLS options are refused");
    failIf(mosquitto_tls_insecure_set(client, false), "host name checking is refused");
}

// The client's thread: connects, serves the connection while it lasts, and
// after a failure or a loss tries again after a pause, until the stop.
void MqttPublisher::run() {
    guarded([this] {
        std::chrono::seconds pause = kFirstReconnectPause;
        bool first = true;
        while (!stopRequested()) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                tlsFailure.clear();
            }
            // Non-blocking connections: only the name lookup waits.
            int result = first ? mosquitto_connect_async(client, settings.host.c_str(), settings.port,
                                                         kKeepAliveSeconds)
                               : mosquitto_reconnect_async(client);
            int savedErrno = errno;
            first = false;
            std::chrono::steady_clock::time_point goodbyeDeadline{};
            while (result == MOSQ_ERR_SUCCESS) {
                if (isConnected.load()) pause = kFirstReconnectPause;
                if (stopRequested()) {
                    // Until the goodbye's DISCONNECT is on its way.
                    const auto now = std::chrono::steady_clock::now();
                    if (goodbyeDeadline == std::chrono::steady_clock::time_point{})
                        goodbyeDeadline = now + kGoodbyeTimeout;
                    if (!isConnected.load() || now > goodbyeDeadline) return;
                }
                result = mosquitto_loop(client, static_cast<int>(kNetworkWait.count()), 1);
                savedErrno = errno;
            }
            if (stopRequested()) return;
            disconnectedNow(-1);
            sayUnreachable(reasonFor(result, savedErrno));
            if (!pauseBeforeRetry(pause)) return;
            pause = std::min(pause * 2, kLastReconnectPause);
        }
    });
}

bool MqttPublisher::stopRequested() {
    std::lock_guard<std::mutex> lock(mutex);
    return stopping;
}

// False when the stop came first.
bool MqttPublisher::pauseBeforeRetry(std::chrono::seconds pause) {
    std::unique_lock<std::mutex> lock(mutex);
    return !changed.wait_for(lock, pause, [this] { return stopping; });
}

void MqttPublisher::sayGoodbye() {
    std::unique_lock<std::mutex> lock(mutex);
    if (!isConnected.load()) return;
    keepLocked(settings.topic + "/motion", kMotionOff, true);
    int messageId = -1;
    if (publish(settings.topic + "/status", kOffline, true, &messageId) != MOSQ_ERR_SUCCESS) return;
    goodbyeId = messageId;
    changed.wait_for(lock, kGoodbyeTimeout, [this] { return goodbyeDone || !isConnected.load(); });
}

void MqttPublisher::publishEvent(const std::string& message) {
    publish(settings.topic + "/event", message, false);
}

void MqttPublisher::publishMotion(bool eventOpen) {
    keep(settings.topic + "/motion", eventOpen ? kMotionOn : kMotionOff, true);
}

void MqttPublisher::publishSnapshot(std::string jpeg) { keep(settings.topic + "/snapshot", std::move(jpeg), false); }

void MqttPublisher::publishStats(std::string statusJson) {
    keep(settings.topic + "/stats", std::move(statusJson), false);
}

void MqttPublisher::keep(const std::string& topic, std::string payload, bool onlyChanges) {
    std::lock_guard<std::mutex> lock(mutex);
    keepLocked(topic, std::move(payload), onlyChanges);
}

void MqttPublisher::keepLocked(const std::string& topic, std::string payload, bool onlyChanges) {
    auto kept = std::find_if(retained.begin(), retained.end(),
                             [&topic](const RetainedMessage& m) { return m.topic == topic; });
    if (kept == retained.end()) {
        kept = retained.insert(retained.end(), RetainedMessage{topic, std::string()});
    } else if (onlyChanges && kept->payload == payload) {
        return;
    }
    kept->payload = std::move(payload);
    if (isConnected.load()) publish(kept->topic, kept->payload, true);
}

int MqttPublisher::publish(const std::string& topic, const std::string& payload, bool retain,
                           int* messageId) {
    return mosquitto_publish(client, messageId, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), kQos, retain);
}

void MqttPublisher::onConnect(mosquitto*, void* self, int result) {
    guarded([&] { static_cast<MqttPublisher*>(self)->connectedNow(result); });
}

void MqttPublisher::onDisconnect(mosquitto*, void* self, int reason) {
    guarded([&] { static_cast<MqttPublisher*>(self)->disconnectedNow(reason); });
}

void MqttPublisher::onPublish(mosquitto*, void* self, int messageId) {
    guarded([&] { static_cast<MqttPublisher*>(self)->publishedNow(messageId); });
}

void MqttPublisher::onLog(mosquitto*, void* self, int level, const char* text) {
    if (level != MOSQ_LOG_ERR || text == nullptr) return;
    guarded([&] { static_cast<MqttPublisher*>(self)->libraryError(text); });
}

// Status first, so that Home Assistant sees the entities available as they
// appear; then every retained message as it stands now.
void MqttPublisher::connectedNow(int result) {
    if (result != 0) {
        sayUnreachable(mosquitto_connack_string(result));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        publish(settings.topic + "/status", kOnline, true);
        for (const RetainedMessage& message : retained) publish(message.topic, message.payload, true);
        unreachableSaid = false;
        isConnected.store(true);
    }
    notices.add("MQTT connected to " + where);
}

// Reason 0: the watcher itself said goodbye; -1: the thread saw the loss and
// says it itself.
void MqttPublisher::disconnectedNow(int reason) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        isConnected.store(false);
    }
    changed.notify_all();
    if (reason > 0) sayUnreachable(reasonFor(reason, errno));
}

void MqttPublisher::publishedNow(int messageId) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (messageId != goodbyeId) return;
        goodbyeDone = true;
    }
    changed.notify_all();
}

// The first OpenSSL error of an attempt is its cause; later ones follow from it.
void MqttPublisher::libraryError(const std::string& text) {
    if (text.rfind(kOpenSslLogPrefix, 0) != 0) return;
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size()) return;
    std::lock_guard<std::mutex> lock(mutex);
    if (tlsFailure.empty()) tlsFailure = text.substr(colon + 1);
}

// OpenSSL's reason when a handshake failed ("certificate verify failed"),
// the system's for a failed call ("Connection refused"), else the library's.
std::string MqttPublisher::reasonFor(int result, int savedErrno) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!tlsFailure.empty()) return tlsFailure;
    }
    if (result == MOSQ_ERR_ERRNO) return std::strerror(savedErrno);
    return mosquitto_strerror(result);
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
