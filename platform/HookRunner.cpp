#include "platform/HookRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

extern char** environ;

namespace tarvolen {

using Clock = std::chrono::steady_clock;

struct HookRunner::Running {
    std::string name;
    pid_t pid = 0;  // also its process group
    Clock::time_point started;
    bool terminated = false;  // SIGTERM sent to the group
    Clock::time_point terminatedAt;
};

namespace {

const char* const kShell = "/bin/sh";
// Signals the program may handle or ignore; a hook starts with them at their defaults.
const int kDefaultSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2};

std::string nameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// The program's environment with `variables` added; a variable of the same
// name is replaced. A NUL byte would end a value early anyway: cut it there.
std::vector<std::string> environmentWith(const HookEnvironment& variables) {
    std::vector<std::string> result;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text(*entry);
        bool replaced = false;
        for (const auto& variable : variables) replaced = replaced || nameOf(text) == variable.first;
        if (!replaced) result.push_back(text);
    }
    for (const auto& variable : variables)
        result.push_back(variable.first + "=" + variable.second.substr(0, variable.second.find('\0')));
    return result;
}

std::string seconds(std::chrono::milliseconds span) {
    std::ostringstream text;
    text << static_cast<double>(span.count()) / 1000.0;
    return text.str();
}

// How a hook that ended by itself ended, as a line; empty for status 0.
std::string outcome(const std::string& name, int status) {
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) == 0) return "";
        return "Hook " + name + " exited with status " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        const char* signalName = strsignal(WTERMSIG(status));
        return "Hook " + name + " ended by signal " + std::to_string(WTERMSIG(status)) +
               (signalName != nullptr ? std::string(" (") + signalName + ")" : std::string());
    }
    return "";
}

// posix_spawn's attributes and file actions, released whatever happens.
class SpawnSetup {
public:
    SpawnSetup() {
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // A process group of its own (so that a timeout reaches what it
    // started), no blocked signals, default dispositions, stdin from
    // /dev/null, stdout joined to stderr and no other descriptor.
    int prepare() {
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (const int signal : kDefaultSignals) sigaddset(&defaults, signal);
        int error = posix_spawnattr_setflags(
            &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        if (error == 0) error = posix_spawnattr_setpgroup(&attributes, 0);
        if (error == 0) error = posix_spawnattr_setsigmask(&attributes, &none);
        if (error == 0) error = posix_spawnattr_setsigdefault(&attributes, &defaults);
        if (error == 0) error = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (error == 0) error = posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
        // Nothing else the program holds open (the display's socket, a clip
        // being written) is handed on to a hook or what it leaves running.
        if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
        return error;
    }

    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
};

}  // namespace

HookRunner::HookRunner(LineSink sink, HookTiming t) : say(std::move(sink)), timing(t) {
    worker = std::thread([this] { work(); });
}

HookRunner::~HookRunner() {
    waiting.close();
    worker.join();
}

bool HookRunner::run(const std::string& name, const std::string& command, const HookEnvironment& variables) {
    if (command.empty()) return true;
    auto job = std::make_unique<Job>(Job{name, command, environmentWith(variables)});
    {
        std::lock_guard<std::mutex> lock(idleMutex);
        ++unfinished;
    }
    if (waiting.tryPush(std::move(job))) return true;
    {
        std::lock_guard<std::mutex> lock(idleMutex);
        --unfinished;
    }
    idleChanged.notify_all();
    ++droppedCount;
    say("Hook " + name + " not run: " + std::to_string(kMaxWaiting) + " hooks are already waiting");
    return false;
}

bool HookRunner::waitIdle(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(idleMutex);
    return idleChanged.wait_for(lock, limit, [this] { return unfinished == 0; });
}

void HookRunner::work() {
    try {
        serve();
    } catch (const std::exception& error) {
        say(std::string("Hooks stopped: ") + error.what());
    }
}

void HookRunner::serve() {
    std::vector<Running> running;
    for (;;) {
        if (running.empty()) {
            std::optional<std::unique_ptr<Job>> job = waiting.pop();
            if (!job) return;  // closed, and nothing is left to run
            start(**job, running);
            continue;
        }
        std::optional<std::unique_ptr<Job>> job;
        if (running.size() < kMaxRunning && !waiting.closedAndEmpty())
            job = waiting.popFor(timing.pollStep);
        else
            std::this_thread::sleep_for(timing.pollStep);
        if (job) start(**job, running);
        look(running);
    }
}

bool HookRunner::start(Job& job, std::vector<Running>& running) {
    std::vector<char*> environment;
    for (std::string& entry : job.environment) environment.push_back(entry.data());
    environment.push_back(nullptr);
    std::string shell = kShell;
    std::string dashC = "-c";
    char* arguments[] = {shell.data(), dashC.data(), job.command.data(), nullptr};

    SpawnSetup setup;
    pid_t pid = 0;
    int error = setup.prepare();
    if (error == 0) error = posix_spawn(&pid, kShell, &setup.actions, &setup.attributes, arguments, environment.data());
    if (error != 0) {
        say("Hook " + job.name + " could not be started: " + std::strerror(error));
        {
            std::lock_guard<std::mutex> lock(idleMutex);
            --unfinished;
        }
        idleChanged.notify_all();
        return false;
    }
    running.push_back(Running{job.name, pid, Clock::now(), false, Clock::time_point()});
    return true;
}

// Reaps the hooks that ended, terminates those past their timeout and kills
// those that outlived the grace after it.
void HookRunner::look(std::vector<Running>& running) {
    const Clock::time_point now = Clock::now();
    std::size_t ended = 0;
    for (auto it = running.begin(); it != running.end();) {
        std::string line;
        bool done = false;
        if (!it->terminated) {
            int status = 0;
            const pid_t reaped = waitpid(it->pid, &status, WNOHANG);
            if (reaped == it->pid || (reaped < 0 && errno == ECHILD)) {
                done = true;
                if (reaped == it->pid) line = outcome(it->name, status);
            } else if (now - it->started >= timing.timeout) {
                // The shell may have gone already: its group is what is signalled.
                kill(-it->pid, SIGTERM);
                it->terminated = true;
                it->terminatedAt = now;
            }
        } else if (now - it->terminatedAt >= timing.killGrace) {
            // The shell is reaped only now: until then its process ID stays
            // taken, so the group's ID cannot name anybody else's processes.
            kill(-it->pid, SIGKILL);
            int status = 0;
            while (waitpid(it->pid, &status, 0) < 0 && errno == EINTR) {
            }
            done = true;
            line = "Hook " + it->name + " killed after " + seconds(timing.timeout) + " s";
        }
        if (!done) {
            ++it;
            continue;
        }
        if (!line.empty()) say(line);
        it = running.erase(it);
        ++ended;
    }
    if (ended == 0) return;
    {
        std::lock_guard<std::mutex> lock(idleMutex);
        unfinished -= ended;
    }
    idleChanged.notify_all();
}

}  // namespace tarvolen
