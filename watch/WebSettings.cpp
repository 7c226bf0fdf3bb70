#include "watch/WebSettings.h"

#include <arpa/inet.h>

#include <cctype>

namespace tarvolen {

namespace {

constexpr int kHighestPort = 65535;
constexpr std::size_t kMaxPortDigits = 5;

bool parsePort(const std::string& digits, int& port) {
    if (digits.empty() || digits.size() > kMaxPortDigits) return false;
    int value = 0;
    for (char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > kHighestPort) return false;
    port = value;
    return true;
}

// Letters, digits, dots and dashes: a host name or an IPv4 address. Anything
// else (spaces, slashes, a scheme) is a mistake in the setting.
bool plausibleHost(const std::string& host) {
    if (host.empty()) return false;
    for (char c : host) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') return false;
    }
    return true;
}

bool isIPv6(const std::string& host) {
    in6_addr address{};
    return inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

// Characters that can travel in a cookie and a header unquoted.
bool tokenCharactersFine(const std::string& token) {
    for (char c : token) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f || c == '"' || c == ',' || c == ';' || c == '\\') return false;
    }
    return true;
}

}  // namespace

bool parseListen(const std::string& text, ListenAddress& address, std::string& problem) {
    problem = "Watch.web.listen must be \"host:port\" (\"[::1]:port\" for IPv6) with a port from 1 to 65535 (got \"" +
              text + "\")";
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = text.substr(0, colon);
    int port = 0;
    if (!parsePort(text.substr(colon + 1), port)) return false;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        if (!isIPv6(host)) return false;
    } else if (!plausibleHost(host)) {
        return false;
    }
    address.host = host;
    address.port = port;
    problem.clear();
    return true;
}

bool isLoopbackHost(const std::string& host) {
    if (host == "localhost") return true;
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
}

std::string checkWebSettings(const WebSettings& settings) {
    if (settings.listen.empty()) return {};
    ListenAddress address;
    std::string problem;
    if (!parseListen(settings.listen, address, problem)) return problem;
    if (!tokenCharactersFine(settings.token)) {
        return "Watch.web.token may hold only visible ASCII characters other than \" , ; \\";
    }
    if (!isLoopbackHost(address.host) && settings.token.size() < kMinimumTokenLength) {
        return "Watch.web.token of at least " + std::to_string(kMinimumTokenLength) +
               " characters is needed to listen on " + settings.listen + " (not a loopback address; token has " +
               std::to_string(settings.token.size()) + ")";
    }
    return {};
}

}  // namespace tarvolen
