// Sizes as people read them.
#pragma once

#include <cstdint>
#include <string>

namespace tarvolen {

// "1023 bytes", "96 KB", "2.5 MB", "1.2 GB" (powers of 1024).
std::string humanBytes(std::uint64_t bytes);

}  // namespace tarvolen
