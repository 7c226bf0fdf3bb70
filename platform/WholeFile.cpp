#include "platform/WholeFile.h"

#include <filesystem>
#include <fstream>

namespace tarvolen {
namespace {

constexpr std::size_t kReadChunkBytes = 16u << 10;  // on the stack

}  // namespace

bool readWholeFile(const std::string& fileName, std::string& bytes) {
    std::error_code ignored;
    const std::filesystem::file_type type = std::filesystem::status(fileName, ignored).type();
    if (type == std::filesystem::file_type::fifo || type == std::filesystem::file_type::socket) return false;
    std::ifstream in(fileName, std::ios::binary);
    if (!in.is_open()) return false;
    bytes.clear();
    char chunk[kReadChunkBytes];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        bytes.append(chunk, static_cast<std::size_t>(in.gcount()));
        if (bytes.size() > kMaxWholeFileBytes) return false;
    }
    return !in.bad();
}

}  // namespace tarvolen
