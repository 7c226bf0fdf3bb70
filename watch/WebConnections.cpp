#include "watch/WebConnections.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>

#include "platform/ProgramGuard.h"

namespace tarvolen {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kListenBacklog = 128;
// Connections past the cap waiting for their 503.
constexpr std::size_t kRefusalQueue = 64;
// How long a refused client has to get its request in before the answer.
constexpr milliseconds kRefusalReadWait{200};
constexpr int kRefusalDrainReads = 16;
// How often the accepting thread looks up when nothing happens, and how long
// it backs off when the process is out of descriptors.
constexpr milliseconds kAcceptPoll{1000};
constexpr milliseconds kOutOfDescriptorsBackoff{10};

const char kServiceUnavailable[] =
    "HTTP/1.1 503 Service Unavailable\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Content-Length: 22\r\n"
    "Connection: close\r\n"
    "Retry-After: 5\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "\r\n"
    "too many connections\r\n";

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Whether `fd` becomes ready for `events` within `timeout`; false on time out
// or once `stop` is notified. A hang-up or error counts as ready, so that
// the next read or write sees it.
bool waitReady(int fd, short events, milliseconds timeout, const StopSignal& stop) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {stop.descriptor(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || (fds[1].revents & POLLIN)) return false;
        return fds[0].revents != 0;
    }
}

void closeClient(int fd) {
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

void addressOf(const sockaddr_storage& address, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        port = ntohs(v4.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        port = ntohs(v6.sin6_port);
    }
    ip = text;
}

// One client's socket as the HTTP library reads and writes it: every wait
// bounded by the timeouts, reads of one request by its deadline too, and no
// SIGPIPE when the client has gone.
class ClientStream : public httplib::Stream {
public:
    ClientStream(int client, const WebLimits& webLimits, const StopSignal& stopSignal)
        : fd(client), limits(webLimits), stop(stopSignal) {}

    void beginRequest() { requestDeadline = Clock::now() + limits.requestDeadline; }

    bool is_readable() const override {
        const milliseconds left(remainingMs(requestDeadline));
        return left.count() > 0 && waitReady(fd, POLLIN, std::min(limits.readTimeout, left), stop);
    }

    // Whether a read ran out of time: the client is too slow to keep.
    bool readTimedOut() const { return timedOut; }
    bool is_writable() const override { return waitReady(fd, POLLOUT, limits.writeTimeout, stop); }

    ssize_t read(char* data, size_t size) override {
        if (!is_readable()) {
            timedOut = true;
            return -1;
        }
        ssize_t got;
        do got = ::recv(fd, data, size, MSG_DONTWAIT);
        while (got < 0 && errno == EINTR);
        return got;
    }

    ssize_t write(const char* data, size_t size) override {
        if (!is_writable()) return -1;
        const ssize_t sent = ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
        return sent;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) addressOf(address, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) addressOf(address, ip, port);
    }
    socket_t socket() const override { return fd; }

private:
    int fd;
    const WebLimits& limits;
    const StopSignal& stop;
    Clock::time_point requestDeadline = Clock::now();
    bool timedOut = false;
};

struct AddressList {
    addrinfo* first = nullptr;
    ~AddressList() {
        if (first) freeaddrinfo(first);
    }
};

int listenOn(const addrinfo& candidate, int& failure) {
    const int fd = ::socket(candidate.ai_family, candidate.ai_socktype | SOCK_CLOEXEC, candidate.ai_protocol);
    if (fd < 0) {
        failure = errno;
        return -1;
    }
    // Reuse of a port in TIME_WAIT only: a second server on the same port
    // must fail, so no SO_REUSEPORT.
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (candidate.ai_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
    if (::bind(fd, candidate.ai_addr, candidate.ai_addrlen) != 0 || ::listen(fd, kListenBacklog) != 0) {
        failure = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

int localPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    std::string ip;
    int port = 0;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) addressOf(address, ip, port);
    return port;
}

void reportEscape(const char* where) {
    std::cerr << "Web view: " << where << ": " << describeCurrentException() << std::endl;
}

}  // namespace

StopSignal::StopSignal() : fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}
StopSignal::~StopSignal() { ::close(fd); }
void StopSignal::notify() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
}
bool StopSignal::notified() const {
    pollfd check{fd, POLLIN, 0};
    return ::poll(&check, 1, 0) > 0;
}

CappedHttpServer::CappedHttpServer(const WebLimits& webLimits)
    : limits(webLimits),
      work(static_cast<std::size_t>(std::max(1, webLimits.maxConnections))),
      refusals(kRefusalQueue) {}

CappedHttpServer::~CappedHttpServer() { shutdownAll(); }

bool CappedHttpServer::open(const ListenAddress& address, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    AddressList found;
    const std::string service = std::to_string(address.port);
    const int lookup = ::getaddrinfo(address.host.c_str(), service.c_str(), &hints, &found.first);
    if (lookup != 0) {
        error = "Web view: cannot listen on " + address.host + ":" + service + ": " + gai_strerror(lookup);
        return false;
    }
    int failure = 0;
    for (const addrinfo* candidate = found.first; candidate && listening < 0; candidate = candidate->ai_next) {
        listening = listenOn(*candidate, failure);
    }
    if (listening < 0) {
        error = "Web view: cannot listen on " + address.host + ":" + service + ": " + std::strerror(failure);
        return false;
    }
    port = localPort(listening);
    // The library's responses to streams check this socket to learn that
    // the server is shutting down.
    svr_sock_ = listening;
    return true;
}

void CappedHttpServer::run() {
    threads.emplace_back([this] { acceptLoop(); });
    threads.emplace_back([this] { refuseLoop(); });
    for (int i = 0; i < std::max(1, limits.maxConnections); ++i) threads.emplace_back([this] { workerLoop(); });
}

void CappedHttpServer::shutdownAll() {
    stopSignal.notify();
    svr_sock_ = INVALID_SOCKET;
    work.close();
    refusals.close();
    for (std::thread& thread : threads) thread.join();
    threads.clear();
    if (listening >= 0) ::close(listening);
    listening = -1;
}

void CappedHttpServer::acceptLoop() {
    while (!stopSignal.notified()) {
        try {
            if (!waitReady(listening, POLLIN, kAcceptPoll, stopSignal)) continue;
            const int client = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                admit(client);
            } else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                waitReady(stopSignal.descriptor(), POLLIN, kOutOfDescriptorsBackoff, stopSignal);
            }
        } catch (...) {
            reportEscape("accepting");
        }
    }
}

void CappedHttpServer::admit(int client) {
    if (live.load() < limits.maxConnections) {
        ++live;
        int handed = client;
        if (work.tryPush(std::move(handed))) return;
        --live;
    }
    int refused = client;
    if (!refusals.tryPush(std::move(refused))) ::close(client);
}

void CappedHttpServer::workerLoop() {
    while (std::optional<int> client = work.pop()) {
        try {
            serveConnection(*client);
        } catch (...) {
            reportEscape("serving a connection");
        }
        closeClient(*client);
        --live;
    }
}

void CappedHttpServer::serveConnection(int client) {
    ClientStream stream(client, limits, stopSignal);
    for (int left = limits.keepAliveMaxCount; left > 0; --left) {
        const milliseconds idle = left == limits.keepAliveMaxCount ? limits.readTimeout : limits.keepAliveTimeout;
        if (!waitReady(client, POLLIN, idle, stopSignal)) return;
        stream.beginRequest();
        bool closed = false;
        if (!process_request(stream, left == 1, closed, nullptr) || closed || stream.readTimedOut()) return;
    }
}

void CappedHttpServer::refuseLoop() {
    while (std::optional<int> client = refusals.pop()) {
        refuse(*client);
        ::close(*client);
    }
}

// Reads what the client sent before answering, so that closing does not
// reset the connection under the answer.
void CappedHttpServer::refuse(int client) {
    if (!waitReady(client, POLLIN, kRefusalReadWait, stopSignal)) return;
    char discard[4096];
    for (int i = 0; i < kRefusalDrainReads && ::recv(client, discard, sizeof discard, MSG_DONTWAIT) > 0; ++i) {
    }
    [[maybe_unused]] const ssize_t sent =
        ::send(client, kServiceUnavailable, sizeof kServiceUnavailable - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    ::shutdown(client, SHUT_WR);
}

}  // namespace tarvolen
