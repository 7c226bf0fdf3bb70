// Times of the scan's reports.
#pragma once

#include <string>

namespace tarvolen {

// Whole milliseconds, rounded to the nearest; negative and non-finite times
// count as 0.
long long wholeMilliseconds(double ms);

// "HH:MM:SS.mmm"; hours grow past two digits when needed.
std::string formatTimecode(double ms);

// "HH:MM:SS", for axis labels.
std::string formatClockTime(double ms);

}  // namespace tarvolen
