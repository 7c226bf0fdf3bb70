// The web view's connections: the HTTP library parses requests, routes them
// and writes responses; this class accepts the connections itself, so that
// it can refuse those past the cap at once (503) instead of queueing them
// without bound, and gives every socket read and write timeouts that a
// stop() cuts short.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "platform/BoundedQueue.h"
#include "watch/WebSettings.h"

namespace tarvolen {

// An eventfd that stays readable once notified: every poll() watching it
// returns at once from then on.
class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;
    void notify();
    bool notified() const;
    int descriptor() const { return fd; }

private:
    int fd;
};

class CappedHttpServer : public httplib::Server {
public:
    explicit CappedHttpServer(const WebLimits& limits);
    ~CappedHttpServer() override;

    // Binds and listens; false with `error` set (one line) when it cannot.
    bool open(const ListenAddress& address, std::string& error);
    // Starts the accepting thread, the workers and the refuser.
    void run();
    // Closes everything and joins the threads; idempotent.
    void shutdownAll();

    int boundPort() const { return port; }
    int liveConnections() const { return live.load(); }

private:
    void acceptLoop();
    void admit(int client);
    void workerLoop();
    void serveConnection(int client);
    void refuseLoop();
    void refuse(int client);

    const WebLimits limits;
    StopSignal stopSignal;
    int listening = -1;
    int port = 0;
    std::atomic<int> live{0};
    BoundedQueue<int> work;
    BoundedQueue<int> refusals;
    std::vector<std::thread> threads;
};

}  // namespace tarvolen
