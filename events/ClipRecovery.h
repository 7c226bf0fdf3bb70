// Clips whose event never got its log line, because the program was killed
// (SIGKILL, the OOM killer, a crash, a power cut) while recording them: found
// at start, made playable where they can be (media/ClipRepair), and logged
// with "interrupted": true and their times from the clips themselves, so that
// the log names every clip.
//
// Only clips written since the log's last line are looked at (a clip logged
// normally is finished before its line), so that a folder of years costs
// nothing at start; the repairs run on a thread of their own, off the frame
// loop.
#pragma once

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Lines.h"

namespace tarvolen {

// The clips of `folder` (named as event clips are) modified since the log
// at `logPath` was last written, less those its last lines name; oldest
// first. With no log, every clip there.
std::vector<std::string> unloggedClips(const std::string& folder, const std::string& logPath);

class ClipRecovery {
public:
    // Each clip's line (without newline) goes to `logLine`; a clip that
    // could not be made playable is also said on `messages`. Which clips is
    // decided here, before anything new is recorded; the repairs start at
    // once. `beforeEach` and `afterEach` get each clip's name (retention
    // must leave it alone meanwhile).
    ClipRecovery(const std::string& folder, const std::string& logPath, std::function<void(const std::string&)> logLine,
                 LineSink messages, std::function<void(const std::string&)> beforeEach = {},
                 std::function<void(const std::string&)> afterEach = {});
    // Waits for the repairs.
    ~ClipRecovery();
    ClipRecovery(const ClipRecovery&) = delete;
    ClipRecovery& operator=(const ClipRecovery&) = delete;

    void wait();

private:
    void run(std::vector<std::string> clips);
    void recover(const std::string& name);

    const std::string folder;
    std::function<void(const std::string&)> logLine;
    LineSink messages;
    std::function<void(const std::string&)> beforeEach;
    std::function<void(const std::string&)> afterEach;
    std::thread worker;
};

}  // namespace tarvolen
