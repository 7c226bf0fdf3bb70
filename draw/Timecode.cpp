#include "draw/Timecode.h"

#include <cmath>
#include <cstdio>

namespace tarvolen {
namespace {

constexpr long long kMsPerSecond = 1000;
constexpr long long kMsPerMinute = 60 * kMsPerSecond;
constexpr long long kMsPerHour = 60 * kMsPerMinute;
constexpr double kMaxMs = 1e15;  // about 31,000 years: keeps llround in range

}  // namespace

long long wholeMilliseconds(double ms) {
    if (!std::isfinite(ms) || ms <= 0.0) return 0;
    return std::llround(std::fmin(ms, kMaxMs));
}

std::string formatTimecode(double ms) {
    const long long t = wholeMilliseconds(ms);
    char text[48];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03lld", t / kMsPerHour,
                  t % kMsPerHour / kMsPerMinute, t % kMsPerMinute / kMsPerSecond, t % kMsPerSecond);
    return text;
}

std::string formatClockTime(double ms) {
    const std::string full = formatTimecode(ms);
    return full.substr(0, full.size() - 4);
}

}  // namespace tarvolen
