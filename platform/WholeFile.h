// Reading a small file the user names (a configuration, a region file) whole.
#pragma once

#include <cstddef>
#include <string>

namespace tarvolen {

// Far above any real configuration or region file: the bound keeps a
// pathological one (a device such as /dev/zero, a runaway generator) from
// being read without end.
inline constexpr std::size_t kMaxWholeFileBytes = 16u << 20;

// Reads every byte of the file; false when it cannot be opened or read, is a
// FIFO or socket (opening one without a writer would block for good), or is
// larger than kMaxWholeFileBytes.
bool readWholeFile(const std::string& fileName, std::string& bytes);

}  // namespace tarvolen
