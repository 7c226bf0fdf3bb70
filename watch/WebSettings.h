// The web view's two settings, as the watcher's configuration hands them
// over, and the check that keeps a reachable server from running without a
// token.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "config/WatchSettings.h"

namespace tarvolen {

inline constexpr std::size_t kMinimumTokenLength = 16;

// How much the web view may take and how long it waits for a client. Every
// connection has a thread of its own, so maxConnections bounds the threads;
// past it a connection gets 503 at once. Streams are capped lower so that
// pages and the API always find a thread.
struct WebLimits {
    int maxConnections = 24;
    int maxStreams = 16;
    // For the first request on a connection, and for each read within one.
    std::chrono::milliseconds readTimeout{5000};
    // A client that takes no data for this long is dropped.
    std::chrono::milliseconds writeTimeout{5000};
    // Between requests on a kept-alive connection.
    std::chrono::milliseconds keepAliveTimeout{5000};
    int keepAliveMaxCount = 20;
    // A request's line and headers must be in within this, however slowly
    // they trickle.
    std::chrono::milliseconds requestDeadline{10000};
};

struct ListenAddress {
    std::string host;  // without the brackets of an IPv6 address
    int port = 0;
};

// Splits "host:port" / "[::1]:port". False, with `problem` set, when the
// text is not of that form or the port is not 1 to 65535.
bool parseListen(const std::string& text, ListenAddress& address, std::string& problem);

// 127.0.0.0/8, ::1 and "localhost": addresses no other machine can reach.
bool isLoopbackHost(const std::string& host);

// One line naming the problem, or empty when the settings may be used. An
// empty `listen` is always fine (the web view is off).
std::string checkWebSettings(const WebSettings& settings);

}  // namespace tarvolen
