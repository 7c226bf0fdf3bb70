#include "scan/Summary.h"

#include <cstdarg>
#include <cstdio>

#include "draw/Timecode.h"

namespace tarvolen {
namespace {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

constexpr std::size_t kStretchesNamed = 5;

}  // namespace

std::string damageText(const std::vector<DamagedStretch>& damage) {
    std::string text = std::to_string(damage.size()) + " damaged stretch" + (damage.size() == 1 ? "" : "es") +
                       ", before frame" + (damage.size() == 1 ? " " : "s ");
    for (std::size_t i = 0; i < damage.size() && i < kStretchesNamed; ++i) {
        if (i > 0) text += i + 1 == damage.size() ? " and " : ", ";
        text += std::to_string(damage[i].beforeFrame) + " (" + formatTimecode(damage[i].timeMs) + ")";
    }
    if (damage.size() > kStretchesNamed) text += " and " + std::to_string(damage.size() - kStretchesNamed) + " more";
    return text;
}

std::string summaryText(const FileSummary& s) {
    std::string out = s.file + "\n";
    if (s.events.empty()) {
        out += "  no events\n";
    } else {
        out += format("  %5s  %-12s  %-12s  %10s  %5s\n", "event", "start", "end", "duration", "peak");
        for (const SummaryRow& e : s.events) {
            const double seconds = s.fps > 0 ? static_cast<double>(e.frames) / s.fps : 0.0;
            out += format("  %5d  %-12s  %-12s  %8.1f s  %5d\n", e.number, formatTimecode(e.startMs).c_str(),
                          formatTimecode(e.endMs).c_str(), seconds, e.peakObjects);
        }
    }
    const double framesPerSecond =
        s.elapsedSeconds > 0 ? static_cast<double>(s.framesScanned) / s.elapsedSeconds : 0;
    const double realTime = s.fps > 0 ? framesPerSecond / s.fps : 0;
    out += format("  %lld frames scanned%s, %zu event%s, %.1f frames/s, %.1fx real time\n",
                  static_cast<long long>(s.framesScanned), s.interrupted ? " (interrupted)" : "",
                  s.events.size(), s.events.size() == 1 ? "" : "s", framesPerSecond, realTime);
    if (!s.damage.empty()) out += "  " + damageText(s.damage) + "\n";
    return out;
}

}  // namespace tarvolen
