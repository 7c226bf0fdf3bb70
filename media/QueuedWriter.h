// What every writer of a file on a thread of its own keeps: one file per
// writer, a bounded queue of entries that closes when the writer finishes or
// fails, the thread's loop from which nothing escapes, and one line naming
// the file and the first reason it was not (or no longer) written.
//
// The owner claims the writer for a path, opens its file, and starts the
// thread with what writes one entry and what finishes the file; producers
// push entries; finish() drains the queue, and the thread finishes the file
// whatever ended it.
//
// Threads: claim(), start(), push(), waitForRoom() and finish() are called
// from the producer's thread; giveUp() from the writer thread; the rest from
// any.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/BoundedQueue.h"
#include "platform/ProgramGuard.h"

namespace tarvolen {

template <typename Entry>
class QueuedWriter {
public:
    explicit QueuedWriter(std::size_t capacity) : queue(capacity) {}
    // The owner must have called finish() while what the thread uses lived.
    ~QueuedWriter() { finish(); }
    QueuedWriter(const QueuedWriter&) = delete;
    QueuedWriter& operator=(const QueuedWriter&) = delete;

    // Takes the writer for the file at `path`. False when it was taken
    // before (one writer, one file) or finished before it was opened.
    bool claim(const std::string& path) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (opened) return false;
            opened = true;
        }
        filePath = path;
        return !queue.closed();
    }

    // Starts the writer thread: `writeOne` for each entry in turn until it
    // returns false, then `closeFile` in any case. An empty string, or why
    // the thread could not be started.
    std::string start(std::function<bool(Entry&)> writeOne, std::function<void()> closeFile) {
        writeEntry = std::move(writeOne);
        finishFile = std::move(closeFile);
        try {
            thread = std::thread(&QueuedWriter::run, this);
        } catch (const std::system_error& e) {
            return std::string("its writer thread could not be started: ") + e.what();
        }
        return "";
    }

    // Queues an entry, waiting while the queue is full; false when the
    // writer no longer takes entries.
    bool push(Entry entry) { return queue.push(std::move(entry)); }
    // Waits until an entry would fit; false when the writer no longer takes
    // entries.
    bool waitForRoom() { return queue.waitForRoom(); }

    // Waits until every queued entry is written and the thread has finished
    // the file. Idempotent; after it no entry is taken.
    void finish() {
        queue.close();
        if (thread.joinable()) thread.join();
        queue.clear();
    }

    // Opened, not finished and not failed.
    bool accepting() const {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!opened) return false;
        }
        return !queue.closed();
    }
    bool failed() const {
        std::lock_guard<std::mutex> lock(mutex);
        return !failureText.empty();
    }
    // "path: reason" for the first failure; empty while nothing failed.
    std::string failure() const {
        std::lock_guard<std::mutex> lock(mutex);
        return failureText;
    }
    const std::string& path() const { return filePath; }

    // Records why the file was not (or no longer) written, when nothing was
    // recorded before; the writer goes on as it was.
    void noteFailure(const std::string& reason) {
        std::lock_guard<std::mutex> lock(mutex);
        if (failureText.empty()) failureText = filePath + ": " + reason.substr(0, reason.find('\n'));
    }
    // The same, and no more entries are taken.
    void stopAccepting(const std::string& reason) {
        noteFailure(reason);
        queue.close();
    }
    // On the writer thread: the same, and the entries still queued are
    // dropped, so that the file is finished at once (while there is still
    // room for its index) with the entries written so far.
    void giveUp(const std::string& reason) {
        stopAccepting(reason);
        queue.clear();
    }

private:
    void run() {
        try {
            while (std::optional<Entry> entry = queue.pop()) {
                if (!writeEntry(*entry)) break;
            }
        } catch (...) {
            giveUp(describeCurrentException());
        }
        try {
            finishFile();
        } catch (...) {
            noteFailure("finishing the file failed: " + describeCurrentException());
        }
    }

    std::string filePath;
    // Closed by finish(), by a failure, or when opening fails.
    BoundedQueue<Entry> queue;
    std::function<bool(Entry&)> writeEntry;
    std::function<void()> finishFile;
    std::thread thread;

    mutable std::mutex mutex;  // guards what follows
    bool opened = false;
    std::string failureText;
};

}  // namespace tarvolen
