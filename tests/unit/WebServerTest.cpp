// The web server in this process, against clients that misbehave: the
// connection cap, a client that sends half a request, a viewer that never
// reads, and a stop while viewers are connected.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "TestSupport.h"
#include "watch/WebServer.h"

namespace tarvolen {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using test::scaled;

// A raw connection the test controls byte by byte.
class RawClient {
public:
    explicit RawClient(int port) : fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // A small receive buffer, so that a viewer that never reads fills it soon.
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { ::close(fd); }
    void send(const std::string& text) { ::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }
    // Whether the server closed the connection within `within` (reading and
    // dropping what it sent).
    bool closedWithin(milliseconds within) {
        const timeval step{0, 50 * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &step, sizeof step);
        const Clock::time_point deadline = Clock::now() + within;
        char buffer[65536];
        while (Clock::now() < deadline) {
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return true;
        }
        return false;
    }
    bool connected = false;

private:
    int fd;
};

class WebServerFixture : public ::testing::Test {
protected:
    void start(WebLimits limits, const std::string& token = "") {
        port = test::freePort();
        server = std::make_unique<WebServer>(WebSettings{"127.0.0.1:" + std::to_string(port), token},
                                             WebSources{[] { return nlohmann::json{{"state", "up"}}; },
                                                        std::filesystem::temp_directory_path().string(),
                                                        "/nonexistent/events.jsonl", "", {}},
                                             limits);
        std::string error;
        ASSERT_TRUE(server->start(error)) << error;
        ASSERT_EQ(server->port(), port);
    }

    httplib::Client client() {
        httplib::Client c("127.0.0.1", port);
        c.set_connection_timeout(scaled(std::chrono::seconds(2)));
        c.set_read_timeout(scaled(std::chrono::seconds(2)));
        return c;
    }

    int status(const std::string& path) {
        auto c = client();
        const auto result = c.Get(path.c_str());
        return result ? result->status : -1;
    }

    // Publishes `count` full-HD frames as a 25 fps loop would; the longest
    // publishFrame call.
    Clock::duration publishFrames(int count) {
        Clock::duration longest{};
        cv::Mat noise(1080, 1920, CV_8UC3);
        cv::randu(noise, 0, 255);
        for (int i = 0; i < count; ++i) {
            // Noise makes big JPEGs: a viewer that does not read falls behind
            // within a few frames.
            cv::Mat frame = noise.clone();
            frame.row(i % frame.rows).setTo(cv::Scalar::all(255));
            const Clock::time_point before = Clock::now();
            server->publishFrame(frame);
            longest = std::max(longest, Clock::now() - before);
            std::this_thread::sleep_for(milliseconds(40));
        }
        return longest;
    }

    int port = 0;
    std::unique_ptr<WebServer> server;
};

TEST_F(WebServerFixture, RefusesConnectionsPastTheCapWith503) {
    WebLimits limits;
    limits.maxConnections = 2;
    start(limits);
    {
        RawClient first(port);
        RawClient second(port);
        ASSERT_TRUE(first.connected && second.connected);
        // Both hold their thread until they send something or time out.
        const Clock::time_point deadline = Clock::now() + scaled(std::chrono::seconds(3));
        int got = 0;
        while (Clock::now() < deadline && (got = status("/healthz")) != 503) {
        }
        EXPECT_EQ(got, 503);
    }
    // Once they are gone, the server takes new connections again.
    const Clock::time_point deadline = Clock::now() + scaled(std::chrono::seconds(3));
    int got = 0;
    while (Clock::now() < deadline && (got = status("/healthz")) != 200) {
    }
    EXPECT_EQ(got, 200);
}

TEST_F(WebServerFixture, AHalfSentRequestHoldsNoOneElseAndIsDropped) {
    WebLimits limits;
    limits.readTimeout = scaled(milliseconds(300));
    limits.requestDeadline = scaled(milliseconds(600));
    start(limits);
    RawClient stalled(port);
    stalled.send("GET /api/status HTTP/1.1\r\nHost: x\r\nX-Slow: ");
    RawClient trickling(port);
    trickling.send("GET / HTTP/1.1\r\n");
    const Clock::time_point before = Clock::now();
    EXPECT_EQ(status("/api/status"), 200);
    EXPECT_LT(Clock::now() - before, scaled(milliseconds(250))) << "not held up by the stalled clients";
    // The trickling client sends a header line well within each read's
    // timeout, but not the whole request within the request's deadline.
    bool closed = false;
    const Clock::time_point deadline = Clock::now() + scaled(std::chrono::seconds(3));
    while (!closed && Clock::now() < deadline) {
        trickling.send("X-A: b\r\n");
        closed = trickling.closedWithin(scaled(milliseconds(150)));
    }
    EXPECT_TRUE(closed) << "a request trickled in forever is cut off";
    EXPECT_TRUE(stalled.closedWithin(scaled(std::chrono::seconds(2))));
}

TEST_F(WebServerFixture, AViewerThatNeverReadsHoldsNeitherTheLoopNorOtherViewers) {
    WebLimits limits;
    limits.writeTimeout = scaled(milliseconds(300));
    start(limits);
    RawClient stuck(port);
    stuck.send("GET /stream.mjpg HTTP/1.1\r\nHost: x\r\n\r\n");

    std::atomic<int> parts{0};
    std::thread viewer([&] {
        auto c = client();
        c.Get("/stream.mjpg?width=320", [&](const char* data, size_t length) {
            const std::string chunk(data, length);
            for (std::size_t at = chunk.find("--tarvolenframe"); at != std::string::npos;
                 at = chunk.find("--tarvolenframe", at + 1)) {
                ++parts;
            }
            return parts < 20;
        });
    });
    const Clock::duration longest = publishFrames(50);
    viewer.join();
    EXPECT_GE(parts.load(), 20) << "the reading viewer got its frames";
    // Waiting on the stuck viewer would take the write timeout at least.
    EXPECT_LT(longest, limits.writeTimeout / 2) << "publishFrame never waits for a viewer";
    EXPECT_EQ(status("/healthz"), 200);
    // The stuck viewer is let go once its socket stays full past the write
    // timeout (reading now only drains what was already queued).
    EXPECT_TRUE(stuck.closedWithin(scaled(std::chrono::seconds(3))));
}

TEST_F(WebServerFixture, StopEndsStreamsAtOnce) {
    start(WebLimits());
    server->publishFrame(cv::Mat(64, 64, CV_8UC3, cv::Scalar::all(9)));
    RawClient watching(port);
    watching.send("GET /stream.mjpg HTTP/1.1\r\nHost: x\r\n\r\n");
    RawClient idle(port);
    ASSERT_EQ(status("/snapshot.jpg"), 200);
    const Clock::time_point before = Clock::now();
    server->stop();
    EXPECT_LT(Clock::now() - before, scaled(milliseconds(1000)));
    EXPECT_TRUE(watching.closedWithin(scaled(milliseconds(500))));
    EXPECT_TRUE(idle.closedWithin(scaled(milliseconds(500))));
}

TEST_F(WebServerFixture, RefusesASecondServerOnTheSamePort) {
    start(WebLimits());
    WebServer second(WebSettings{"127.0.0.1:" + std::to_string(port), ""}, WebSources{});
    std::string error;
    EXPECT_FALSE(second.start(error));
    EXPECT_NE(error.find("Address already in use"), std::string::npos) << error;
}

}  // namespace
}  // namespace tarvolen
