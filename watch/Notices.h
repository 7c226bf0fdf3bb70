// Lines for standard error from the watcher's threads (the status file's,
// the MQTT client's), printed by the loop between frames so that no two
// lines ever mix.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace tarvolen {

class Notices {
public:
    void add(std::string line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(std::move(line));
    }
    // The lines added since the last call, oldest first.
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> taken;
        taken.swap(lines);
        return taken;
    }

private:
    std::mutex mutex;
    std::vector<std::string> lines;
};

}  // namespace tarvolen
