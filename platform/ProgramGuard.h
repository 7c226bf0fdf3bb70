// The outermost frame of every program: whatever escapes its body is
// reported on one line instead of ending the process without a word.
#pragma once

#include <functional>
#include <ostream>
#include <string>

namespace tarvolen {

// Runs `program` and returns its status. An exception escaping it becomes one
// line on `out`, `prefix` first, and `failureStatus`: "Out of memory" for
// std::bad_alloc and OpenCV's out-of-memory error, "OpenCV error: ..." for
// another OpenCV error, else the exception's own text.
int runReportingEscapes(const std::function<int()>& program, std::ostream& out, int failureStatus,
                        const std::string& prefix = std::string());

// One line saying what the exception in flight is; call only from a catch
// block. For threads whose failures must be reported rather than end the
// process.
std::string describeCurrentException();

}  // namespace tarvolen
