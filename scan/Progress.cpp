#include "scan/Progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tarvolen {
namespace {

constexpr int kBarWidth = 24;  // characters
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

std::string duration(double seconds) {
    const long long s = std::llround(std::max(0.0, seconds));
    char text[32];
    if (s >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s % 3600 / 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    }
    return text;
}

}  // namespace

std::string progressLine(const ProgressState& p) {
    const double rate = p.elapsedSeconds > 0 ? static_cast<double>(p.frame) / p.elapsedSeconds : 0.0;
    const std::string events = std::to_string(p.events) + (p.events == 1 ? " event" : " events");
    char text[256];
    if (p.total <= 0) {
        std::snprintf(text, sizeof text, "%lld frames  %.1f fps  %s", static_cast<long long>(p.frame), rate,
                      events.c_str());
        return text;
    }
    const double fraction = std::clamp(static_cast<double>(p.frame) / static_cast<double>(p.total), 0.0, 1.0);
    const int filled = static_cast<int>(fraction * kBarWidth);
    const std::string bar = std::string(filled, '#') + std::string(kBarWidth - filled, '-');
    const std::string left =
        rate > 0 ? duration(static_cast<double>(std::max<std::int64_t>(0, p.total - p.frame)) / rate) : "?";
    std::snprintf(text, sizeof text, "[%s] %3d%%  %lld/%lld  %.1f fps  %s left  %s", bar.c_str(),
                  static_cast<int>(fraction * 100), static_cast<long long>(p.frame),
                  static_cast<long long>(p.total), rate, left.c_str(), events.c_str());
    return text;
}

ProgressReporter::ProgressReporter(std::ostream& o, bool on) : out(o), enabled(on) {}

void ProgressReporter::update(const ProgressState& state) {
    if (!enabled) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDrawn < kRedrawInterval) return;
    lastDrawn = now;
    draw(progressLine(state));
}

void ProgressReporter::clear() {
    if (!enabled || shownWidth == 0) return;
    out << '\r' << std::string(shownWidth, ' ') << '\r' << std::flush;
    shownWidth = 0;
}

void ProgressReporter::draw(const std::string& line) {
    // Blanks over the rest of a longer previous line: no terminal codes, so
    // a forced progress line stays readable in a log file.
    const std::size_t pad = shownWidth > line.size() ? shownWidth - line.size() : 0;
    out << '\r' << line << std::string(pad, ' ') << std::flush;
    shownWidth = line.size();
}

}  // namespace tarvolen
