// Runs the operator's commands ("hooks") when something happens: each with
// /bin/sh -c in a process group of its own, its data in environment
// variables only, never pasted into the command text, so that no file or
// source name can become a command.
//
// The caller never waits: a hook is handed to the runner's thread, which
// starts at most kMaxRunning at once and keeps up to kMaxWaiting more; past
// that a hook is dropped with one line. A hook still running after its
// timeout has its whole process group sent SIGTERM, then SIGKILL. A non-zero
// exit, a signal, a timeout or a failure to start is told on one line naming
// the hook. Standard input is /dev/null; standard output and standard error
// both go to the program's standard error, so that the program's own
// standard output keeps its own lines and a journal shows the hook's; no
// other descriptor of the program is inherited.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/BoundedQueue.h"
#include "platform/Lines.h"

namespace tarvolen {

// Variables added to (or replacing those of) the program's environment.
using HookEnvironment = std::vector<std::pair<std::string, std::string>>;

struct HookTiming {
    // A hook still running after this long is killed.
    std::chrono::milliseconds timeout{30000};
    // Between SIGTERM and SIGKILL, for a hook that ignores the first.
    std::chrono::milliseconds killGrace{2000};
    // How often running hooks are looked at.
    std::chrono::milliseconds pollStep{10};
};

class HookRunner {
public:
    static constexpr std::size_t kMaxRunning = 4;
    static constexpr std::size_t kMaxWaiting = 32;

    HookRunner(LineSink say, HookTiming timing = HookTiming());
    // Starts the hooks still waiting and waits for every hook, each up to
    // its timeout (then it is killed); no child is left unreaped.
    ~HookRunner();
    HookRunner(const HookRunner&) = delete;
    HookRunner& operator=(const HookRunner&) = delete;

    // Hands `command` over to be run; never waits. An empty command runs
    // nothing. False (and one line said) when too many hooks are waiting.
    bool run(const std::string& name, const std::string& command, const HookEnvironment& variables);

    // Waits until no hook is waiting or running (at most `limit`); true when
    // none is. For tests and for a program about to end.
    bool waitIdle(std::chrono::milliseconds limit);

    // Hooks not run because too many were waiting, so far; any thread.
    std::uint64_t dropped() const { return droppedCount.load(); }

private:
    struct Job {
        std::string name;
        std::string command;
        std::vector<std::string> environment;  // NAME=value, the whole of it
    };
    struct Running;

    void work();
    void serve();
    bool start(Job& job, std::vector<Running>& running);
    void look(std::vector<Running>& running);

    LineSink say;
    HookTiming timing;
    BoundedQueue<std::unique_ptr<Job>> waiting{kMaxWaiting};
    std::mutex idleMutex;
    std::condition_variable idleChanged;
    std::size_t unfinished = 0;  // handed over and not yet ended
    std::atomic<std::uint64_t> droppedCount{0};
    std::thread worker;
};

}  // namespace tarvolen
