// Times of the scan's reports.
#pragma once

#include <optional>
#include <string>

namespace tarvolen {

// Whole milliseconds, rounded to the nearest; negative and non-finite times
// count as 0.
long long wholeMilliseconds(double ms);

// "HH:MM:SS.mmm"; hours grow past two digits when needed.
std::string formatTimecode(double ms);

// A time given by a person: seconds ("90", "12.5") or "HH:MM:SS[.mmm]"
// (also "MM:SS[.mmm]"), in milliseconds; nothing when it is neither or is
// negative.
std::optional<double> parseTimecode(const std::string& text);

// "HH:MM:SS", for axis labels.
std::string formatClockTime(double ms);

}  // namespace tarvolen
