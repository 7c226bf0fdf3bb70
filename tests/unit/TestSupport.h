// What many unit tests need, written once: a folder of their own, a whole
// file's bytes, a condition awaited with patience that stretches on a slow
// machine, a free port on 127.0.0.1 and frames that carry their number.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "Prerequisite.h"

namespace tarvolen::test {

// --- Time -------------------------------------------------------------------

// How many times slower than an idle machine this run may be: the
// environment's TARVOLEN_E2E_SLOWDOWN (a sanitizer build, a loaded machine),
// at least 1.
double slowdown();

// `bound` stretched by slowdown(). Only for the few real-time bounds a test
// cannot replace with an injected clock.
std::chrono::milliseconds scaled(std::chrono::milliseconds bound);

// Far longer than anything awaited needs on an idle machine.
constexpr std::chrono::milliseconds kPatience{10000};

// Polls `condition` until it holds (true) or scaled(patience) has passed
// (false).
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds patience = kPatience);

// --- Files ------------------------------------------------------------------

// A fresh, empty folder of its own under the system's temporary folder,
// unique across processes (several builds' tests run side by side). Removed
// with everything in it when it goes, unwritable parts included, unless the
// running test failed: then it is kept for inspection and its path printed.
// A death test's child (which runs its test afresh) removes its own when it
// ends with exit(), not _Exit().
class TempFolder {
public:
    explicit TempFolder(const std::string& prefix = "tarvolen-test");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return root; }
    // The path of `name` inside the folder.
    std::string file(const std::string& name) const { return (root / name).string(); }

private:
    std::filesystem::path root;
};

// A fixture whose every test gets its own empty folder `dir`.
class TempFolderTest : public ::testing::Test {
protected:
    std::string file(const std::string& name) const { return temp.file(name); }

    TempFolder temp;
    const std::filesystem::path dir = temp.path();
};

// While it lives, the process works in `folder` (a program under test that
// looks for files in its working folder); the previous one is restored.
class InFolder {
public:
    explicit InFolder(const std::filesystem::path& folder);
    ~InFolder();
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

private:
    std::filesystem::path previous;
};

// The whole file as bytes; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// Writes `bytes` as the whole file.
void writeFile(const std::filesystem::path& path, const std::string& bytes);

// --- Network ----------------------------------------------------------------

// A TCP port of 127.0.0.1 that the kernel just handed out and nobody holds
// (0 if none could be had).
int freePort();

// --- Frames -----------------------------------------------------------------

// The gray level that stamps frame `index`: 37 levels apart from its
// neighbours, within 20..219, so that a level survives JPEG and tells the
// frame.
int levelOf(std::int64_t index);

// A BGR frame of `size` filled with levelOf(index).
cv::Mat stampedFrame(std::int64_t index, cv::Size size = cv::Size(32, 24));

// The same with noise of ±8 around the level (a fixed pattern per index):
// unlike a flat frame, it shows a second lossy encoding.
cv::Mat stampedNoise(std::int64_t index, cv::Size size = cv::Size(64, 48));

// A BGR frame of noise over the whole range, a fixed pattern per seed: what
// compresses worst.
cv::Mat noiseFrame(cv::Size size, int seed);

}  // namespace tarvolen::test
