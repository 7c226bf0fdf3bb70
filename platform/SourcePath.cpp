#include "platform/SourcePath.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace tarvolen {
namespace {

constexpr unsigned kVideoDeviceMajor = 81;  // Linux video capture devices (/dev/videoN)

}  // namespace

bool mayOpenSourcePath(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return true;
    if (S_ISREG(st.st_mode)) return true;
    return S_ISCHR(st.st_mode) && major(st.st_rdev) == kVideoDeviceMajor;
}

}  // namespace tarvolen
