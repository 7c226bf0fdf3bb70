// Names of the video files the programs write.
#pragma once

#include <ctime>
#include <functional>
#include <string>

namespace tarvolen {

// prefix + day_month_year_hour_minute_second + extension.
std::string timeStampedFileName(const std::string& prefix, const std::tm& localTime,
                                const std::string& extension = ".avi");

// `name` itself when it is not taken, else the first of name_2.avi,
// name_3.avi, ... (with the name's own extension) that is free, so that no earlier file is replaced.
std::string firstFreeName(const std::string& name, const std::function<bool(const std::string&)>& taken);

}  // namespace tarvolen
