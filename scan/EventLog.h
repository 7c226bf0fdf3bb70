// The machine-readable event list: one JSON object per line, appended and
// flushed as each event closes.
#pragma once

#include <fstream>
#include <string>


namespace tarvolen {

class EventLog {
public:
    // Creates (or empties) the file; false with failure() set when it cannot.
    bool open(const std::string& path);
    // Appends one line and flushes it; false with failure() set on an error.
    bool append(const std::string& line);
    bool close();
    // One line naming the file and the system's reason.
    const std::string& failure() const { return problem; }

private:
    bool fail(const char* what);

    std::string path;
    std::ofstream out;
    std::string problem;
};

}  // namespace tarvolen
