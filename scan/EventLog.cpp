#include "scan/EventLog.h"

#include <cerrno>
#include <cstring>

namespace tarvolen {

bool EventLog::open(const std::string& p) {
    path = p;
    errno = 0;
    out.open(path, std::ios::out | std::ios::trunc);
    return out.is_open() || fail("cannot create");
}

bool EventLog::append(const std::string& line) {
    errno = 0;
    out << line << '\n';
    out.flush();
    return out.good() || fail("cannot write");
}

bool EventLog::close() {
    if (!out.is_open()) return problem.empty();
    errno = 0;
    out.close();
    return !out.fail() || fail("cannot finish");
}

bool EventLog::fail(const char* what) {
    if (problem.empty()) {
        problem = std::string(what) + " " + path;
        if (errno != 0) problem += ": " + std::string(std::strerror(errno));
    }
    return false;
}

}  // namespace tarvolen
