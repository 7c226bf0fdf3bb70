#include "platform/Units.h"

#include <cstdio>

namespace tarvolen {
namespace {

constexpr std::uint64_t kKilo = 1024;
constexpr std::uint64_t kMega = kKilo * 1024;
constexpr std::uint64_t kGiga = kMega * 1024;

}  // namespace

std::string humanBytes(std::uint64_t bytes) {
    char text[32];
    if (bytes < kKilo) {
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    } else if (bytes < kMega) {
        std::snprintf(text, sizeof text, "%llu KB", static_cast<unsigned long long>(bytes / kKilo));
    } else if (bytes < kGiga) {
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / kMega);
    } else {
        std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / kGiga);
    }
    return text;
}

}  // namespace tarvolen
