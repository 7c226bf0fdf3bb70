// One-line messages from several threads to one stream: a hook's outcome is
// told on the hook runner's thread, a retention sweep on its own, while the
// frame loop may be saying something else.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

namespace tarvolen {

// Says one line (without its newline).
using LineSink = std::function<void(const std::string&)>;

// A sink that writes whole lines to `out`, one thread at a time, flushing
// each so that a journal or a terminal shows it at once.
class SharedLines {
public:
    explicit SharedLines(std::ostream& stream) : out(stream) {}
    void say(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        out << line << std::endl;
    }
    LineSink sink() {
        return [this](const std::string& line) { say(line); };
    }

private:
    std::mutex mutex;
    std::ostream& out;
};

}  // namespace tarvolen
