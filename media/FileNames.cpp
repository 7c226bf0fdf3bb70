#include "media/FileNames.h"

namespace tarvolen {
namespace {

constexpr std::size_t kTimeBufferSize = 80;
const char* const kTimeFormat = "%d_%m_%Y_%H_%M_%S";

}  // namespace

std::string timeStampedFileName(const std::string& prefix, const std::tm& localTime, const std::string& extension) {
    char stamp[kTimeBufferSize];
    const std::size_t n = std::strftime(stamp, sizeof stamp, kTimeFormat, &localTime);
    return prefix + std::string(stamp, n) + extension;
}

std::string firstFreeName(const std::string& name, const std::function<bool(const std::string&)>& taken) {
    if (!taken(name)) return name;
    const std::size_t dot = name.rfind('.');
    const std::string stem = name.substr(0, dot);
    const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
    for (int suffix = 2;; ++suffix) {
        const std::string candidate = stem + "_" + std::to_string(suffix) + extension;
        if (!taken(candidate)) return candidate;
    }
}

}  // namespace tarvolen
