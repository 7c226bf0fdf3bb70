// The MQTT publisher against a real mosquitto broker, started by the test on
// a free port of 127.0.0.1, and a second libmosquitto client that listens.
#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "watch/MqttPublisher.h"

extern char** environ;

namespace tarvolen {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// What a call may take with the broker away, sanitizers included, on an idle machine.
const milliseconds kNeverBlocks = test::scaled(milliseconds(300));

using test::eventually;

bool accepting(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

template <typename Action>
milliseconds timed(Action action) {
    const Clock::time_point start = Clock::now();
    action();
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

bool brokerInstalled() { return access("/usr/sbin/mosquitto", X_OK) == 0; }

// `mosquitto -p PORT`, quiet; killed with the test.
class Broker {
public:
    explicit Broker(int brokerPort) : port(brokerPort) { start(); }
    ~Broker() { kill(); }
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    void start() {
        const std::string portText = std::to_string(port);
        const char* argv[] = {"/usr/sbin/mosquitto", "-p", portText.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ready = pid > 0 && eventually([this] { return accepting(port); });
    }
    void kill() {
        if (pid <= 0) return;
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    bool ready = false;

private:
    int port;
    pid_t pid = -1;
};

// A second client, subscribed to TOPIC/#, that keeps what arrives.
class Listener {
public:
    struct Message {
        std::string topic;
        std::string payload;
        bool retained;
    };

    Listener(int port, const std::string& topic) : filter(topic + "/#") {
        client = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(client, [](mosquitto* c, void* self, int) {
            mosquitto_subscribe(c, nullptr, static_cast<Listener*>(self)->filter.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(client, [](mosquitto*, void* self, int, int, const int*) {
            static_cast<Listener*>(self)->subscribed = true;
        });
        mosquitto_message_callback_set(client, [](mosquitto*, void* self, const mosquitto_message* m) {
            Listener& listener = *static_cast<Listener*>(self);
            std::lock_guard<std::mutex> lock(listener.mutex);
            listener.received.push_back(
                {m->topic,
                 std::string(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen)),
                 m->retain});
        });
        mosquitto_loop_start(client);
        mosquitto_connect_async(client, "127.0.0.1", port, 30);
    }
    ~Listener() {
        mosquitto_disconnect(client);
        mosquitto_loop_stop(client, false);
        mosquitto_destroy(client);
    }
    bool ready() {
        return eventually([this] { return subscribed.load(); });
    }
    // Waits for a message on `topic` with any payload.
    bool waitForTopic(const std::string& topic) {
        return eventually([&] {
            std::lock_guard<std::mutex> lock(mutex);
            for (const Message& m : received)
                if (m.topic == topic && !m.payload.empty()) return true;
            return false;
        });
    }
    // Waits for a message on `topic` with `payload`; returns it.
    std::optional<Message> waitFor(const std::string& topic, const std::string& payload) {
        std::optional<Message> found;
        eventually([&] {
            std::lock_guard<std::mutex> lock(mutex);
            for (const Message& m : received)
                if (m.topic == topic && m.payload == payload) found = m;
            return found.has_value();
        });
        return found;
    }

private:
    const std::string filter;
    mosquitto* client = nullptr;
    std::atomic<bool> subscribed{false};
    std::mutex mutex;
    std::vector<Message> received;
};

class MqttPublisherTest : public ::testing::Test {
protected:
    void SetUp() override {
        TARVOLEN_REQUIRE(brokerInstalled(),
                         "the mosquitto broker (Debian package mosquitto) is not installed");
        port = test::freePort();
        ASSERT_GT(port, 0);
        settings.host = "127.0.0.1";
        settings.port = port;
        settings.topic = "test/cam" + std::to_string(port);
        where = "127.0.0.1:" + std::to_string(port);
    }

    // Collects the publisher's lines until one starts with `prefix`.
    bool noticeStartingWith(const std::string& prefix) {
        return eventually([&] {
            for (std::string& line : notices.take()) said.push_back(std::move(line));
            for (const std::string& line : said)
                if (line.rfind(prefix, 0) == 0) return true;
            return false;
        });
    }
    int saidStartingWith(const std::string& prefix) {
        for (std::string& line : notices.take()) said.push_back(std::move(line));
        int count = 0;
        for (const std::string& line : said) count += line.rfind(prefix, 0) == 0 ? 1 : 0;
        return count;
    }

    int port = 0;
    MqttSettings settings;
    std::string where;
    Notices notices;
    std::vector<std::string> said;
};

TEST_F(MqttPublisherTest, SaysOnlineThenEventsThenOfflineAllAtTheirTopics) {
    Broker broker(port);
    ASSERT_TRUE(broker.ready);
    auto publisher = std::make_unique<MqttPublisher>(settings, notices);
    ASSERT_TRUE(noticeStartingWith("MQTT connected to " + where));
    EXPECT_EQ(said.front(), "MQTT connected to " + where);

    Listener listener(port, settings.topic);
    ASSERT_TRUE(listener.ready());
    const std::optional<Listener::Message> online = listener.waitFor(settings.topic + "/status", "online");
    ASSERT_TRUE(online);
    EXPECT_TRUE(online->retained);  // a late subscriber still learns the state

    publisher->publishEvent(R"({"type":"start"})");
    const std::optional<Listener::Message> event =
        listener.waitFor(settings.topic + "/event", R"({"type":"start"})");
    ASSERT_TRUE(event);
    EXPECT_FALSE(event->retained);

    publisher.reset();
    EXPECT_TRUE(listener.waitFor(settings.topic + "/status", "offline"));
    // And it stays the state on the broker for whoever asks later.
    Listener late(port, settings.topic);
    ASSERT_TRUE(late.ready());
    const std::optional<Listener::Message> kept = late.waitFor(settings.topic + "/status", "offline");
    ASSERT_TRUE(kept);
    EXPECT_TRUE(kept->retained);
    EXPECT_EQ(saidStartingWith("MQTT broker unreachable"), 0);
}

TEST_F(MqttPublisherTest, ABrokerThatGoesAwayNeverHoldsTheWatcherAndIsFoundAgain) {
    Broker broker(port);
    ASSERT_TRUE(broker.ready);
    auto publisher = std::make_unique<MqttPublisher>(settings, notices);
    ASSERT_TRUE(noticeStartingWith("MQTT connected to "));
    broker.kill();
    ASSERT_TRUE(noticeStartingWith("MQTT broker unreachable: " + where + " ("));
    EXPECT_FALSE(publisher->connected());
    EXPECT_LT(timed([&] {
                  for (int i = 0; i < 50; ++i) publisher->publishEvent("{}");
              }),
              kNeverBlocks);

    broker.start();
    ASSERT_TRUE(broker.ready);
    ASSERT_TRUE(eventually([&] { return saidStartingWith("MQTT connected to ") == 2; }));
    EXPECT_EQ(saidStartingWith("MQTT broker unreachable"), 1);
    Listener listener(port, settings.topic);
    ASSERT_TRUE(listener.ready());
    EXPECT_TRUE(listener.waitFor(settings.topic + "/status", "online"));  // said again on the return
}

TEST_F(MqttPublisherTest, NoBrokerAtStartHoldsNothingAndIsSaidOnce) {
    std::unique_ptr<MqttPublisher> publisher;
    EXPECT_LT(timed([&] { publisher = std::make_unique<MqttPublisher>(settings, notices); }), kNeverBlocks);
    ASSERT_TRUE(noticeStartingWith("MQTT broker unreachable: " + where + " ("));
    EXPECT_LT(timed([&] { publisher->publishEvent("{}"); }), kNeverBlocks);
    EXPECT_LT(timed([&] { publisher.reset(); }), kNeverBlocks);
    EXPECT_EQ(saidStartingWith("MQTT broker unreachable"), 1);
    EXPECT_EQ(saidStartingWith("MQTT connected"), 0);
}

// A broker restarted without persistence has forgotten every retained
// message: the publisher says them all again, and a subscriber that comes
// later still finds the camera's state, its snapshot and its announcement.
TEST_F(MqttPublisherTest, RetainedStateIsSaidAgainOnEachConnectionAndOffAtTheEnd) {
    Broker broker(port);
    ASSERT_TRUE(broker.ready);
    settings.discovery = true;
    settings.discoveryPrefix = settings.topic + "/ha";  // under the listener's filter
    auto publisher = std::make_unique<MqttPublisher>(settings, notices, MqttCamera{"Gate", true});
    ASSERT_TRUE(noticeStartingWith("MQTT connected to "));
    const std::string jpeg("\xff\xd8 picture \0 bytes \xff\xd9", 20);
    publisher->publishMotion(true);
    publisher->publishStats(R"({"fps":5,"events":1})");
    publisher->publishSnapshot(jpeg);
    // The snapshot is said last: once it is on the broker, everything is.
    const auto allOnTheBroker = [&] {
        Listener probe(port, settings.topic);
        return probe.ready() && probe.waitFor(settings.topic + "/snapshot", jpeg).has_value();
    };
    ASSERT_TRUE(allOnTheBroker());
    broker.kill();
    broker.start();
    ASSERT_TRUE(broker.ready);
    ASSERT_TRUE(eventually([&] { return saidStartingWith("MQTT connected to ") == 2; }));
    ASSERT_TRUE(allOnTheBroker());

    Listener late(port, settings.topic);
    ASSERT_TRUE(late.ready());
    for (const auto& [topic, payload] : std::vector<std::pair<std::string, std::string>>{
             {"/status", "online"}, {"/motion", "ON"}, {"/stats", R"({"fps":5,"events":1})"}, {"/snapshot", jpeg}}) {
        const std::optional<Listener::Message> kept = late.waitFor(settings.topic + topic, payload);
        ASSERT_TRUE(kept) << topic;
        EXPECT_TRUE(kept->retained) << topic;
    }
    EXPECT_TRUE(late.waitForTopic(settings.topic + "/ha/binary_sensor/gate/gate_motion/config"));

    publisher.reset();
    EXPECT_TRUE(late.waitFor(settings.topic + "/motion", "OFF"));
    EXPECT_TRUE(late.waitFor(settings.topic + "/status", "offline"));
}

}  // namespace
}  // namespace tarvolen
