#include "TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>
#include <vector>

namespace tarvolen::test {

namespace fs = std::filesystem;

double slowdown() {
    const char* text = std::getenv("TARVOLEN_E2E_SLOWDOWN");
    if (text == nullptr) return 1.0;
    char* end = nullptr;
    const double factor = std::strtod(text, &end);
    return end != text && factor > 1.0 ? factor : 1.0;
}

std::chrono::milliseconds scaled(std::chrono::milliseconds bound) {
    return std::chrono::milliseconds(static_cast<std::int64_t>(static_cast<double>(bound.count()) * slowdown()));
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds patience) {
    constexpr std::chrono::milliseconds kPollStep{5};
    const auto deadline = std::chrono::steady_clock::now() + scaled(patience);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(kPollStep);
    }
    return true;
}

namespace {

// Makes every folder below `root` writable and searchable again, so that a
// test that took those rights away does not leave its folder behind.
void restoreRights(const fs::path& root) {
    std::error_code ignored;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
}

void removeFolder(const fs::path& root) {
    std::error_code ignored;
    restoreRights(root);
    fs::remove_all(root, ignored);
}

// A death test's child runs its test afresh, folders included, and ends with
// exit(): no destructor of the test's runs there, so its folders are removed
// on the way out.
std::vector<fs::path>& childFolders() {
    static std::vector<fs::path> folders;
    return folders;
}

void removeChildFolders() {
    for (const fs::path& folder : childFolders()) removeFolder(folder);
}

bool inDeathTestChild() { return !GTEST_FLAG_GET(internal_run_death_test).empty(); }

}  // namespace

TempFolder::TempFolder(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + ".XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a folder like " + pattern);
    root = pattern;
    if (inDeathTestChild()) {
        if (childFolders().empty()) std::atexit(removeChildFolders);
        childFolders().push_back(root);
    }
}

TempFolder::~TempFolder() {
    if (::testing::Test::HasFailure()) {
        std::cerr << "kept for inspection: " << root.string() << '\n';
        return;
    }
    removeFolder(root);
}

InFolder::InFolder(const fs::path& folder) : previous(fs::current_path()) { fs::current_path(folder); }

InFolder::~InFolder() {
    std::error_code ignored;
    fs::current_path(previous, ignored);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    ::close(fd);
    return bound ? ntohs(address.sin_port) : 0;
}

int levelOf(std::int64_t index) { return static_cast<int>(20 + (index * 37) % 200); }

cv::Mat stampedFrame(std::int64_t index, cv::Size size) {
    return cv::Mat(size, CV_8UC3, cv::Scalar::all(levelOf(index)));
}

cv::Mat stampedNoise(std::int64_t index, cv::Size size) {
    cv::Mat noise(size, CV_16SC3);
    cv::RNG pattern(static_cast<std::uint64_t>(index) + 1);
    pattern.fill(noise, cv::RNG::UNIFORM, cv::Scalar::all(-8), cv::Scalar::all(8));
    cv::Mat frame;
    noise.convertTo(frame, CV_8UC3, 1.0, levelOf(index));
    return frame;
}

cv::Mat noiseFrame(cv::Size size, int seed) {
    cv::Mat frame(size, CV_8UC3);
    cv::RNG pattern(static_cast<std::uint64_t>(seed) + 1);
    pattern.fill(frame, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
    return frame;
}

}  // namespace tarvolen::test
