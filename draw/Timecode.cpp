#include "draw/Timecode.h"

#include <cmath>
#include <cstdio>
#include <vector>

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

namespace {

constexpr int kMaxTimeFields = 3;  // hours, minutes, seconds
constexpr double kSixty = 60.0;

// A field of digits, with a fraction only when `fraction` allows it.
std::optional<double> parseField(const std::string& text, bool fraction) {
    if (text.empty()) return std::nullopt;
    bool point = false;
    std::size_t digits = 0;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            ++digits;
        } else if (c == '.' && fraction && !point) {
            point = true;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0) return std::nullopt;
    return std::stod(text);
}

}  // namespace

std::optional<double> parseTimecode(const std::string& text) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t colon; (colon = text.find(':', start)) != std::string::npos; start = colon + 1)
        fields.push_back(text.substr(start, colon - start));
    fields.push_back(text.substr(start));
    if (fields.size() > kMaxTimeFields) return std::nullopt;
    double seconds = 0.0;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const bool last = i + 1 == fields.size();
        const std::optional<double> value = parseField(fields[i], last);
        // Below the first field, minutes and seconds stay under 60.
        if (!value || (i > 0 && *value >= kSixty)) return std::nullopt;
        seconds = seconds * kSixty + *value;
    }
    const double ms = seconds * static_cast<double>(kMsPerSecond);
    if (!std::isfinite(ms) || ms > kMaxMs) return std::nullopt;
    return ms;
}

std::string formatClockTime(double ms) {
    const std::string full = formatTimecode(ms);
    return full.substr(0, full.size() - 4);
}

}  // namespace tarvolen
