#include "app/PassLog.h"

#include <cstdlib>

namespace tarvolen {

PassLog::PassLog() {
    const char* path = std::getenv(kVariable);
    if (path != nullptr && *path != '\0') file = std::fopen(path, "a");
    // Line by line, so that a test can follow the passes while they happen.
    if (file != nullptr) std::setvbuf(file, nullptr, _IOLBF, 0);
}

PassLog::~PassLog() {
    if (file != nullptr) std::fclose(file);
}

void PassLog::mark(std::chrono::steady_clock::time_point passEnd) {
    if (file == nullptr) return;
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(passEnd.time_since_epoch()).count();
    std::fprintf(file, "%lld\n", static_cast<long long>(micros));
}

}  // namespace tarvolen
