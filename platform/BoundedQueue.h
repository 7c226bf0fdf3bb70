// A bounded, closable queue between threads: the one hand-over used by the
// frame reader, the video writer, the clip channel and the frame buffer.
//
// Capacity is counted in units of the caller's choosing (frames, bytes): each
// item costs what `cost` says, and push() waits while the queue holds too
// much. An empty queue always takes one item however costly, so that a single
// oversized item cannot wait for ever. close() wakes everyone: pushes are
// refused from then on, and pops drain what is left before they report the
// end.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

namespace tarvolen {

template <typename T>
class BoundedQueue {
public:
    using CostFunction = std::function<std::size_t(const T&)>;

    // A queue of at most `capacity` items, each costing 1.
    explicit BoundedQueue(std::size_t capacity) : BoundedQueue(capacity, [](const T&) { return 1; }) {}
    // A queue of at most `capacity` units of cost. Without a cost function
    // every item costs 1.
    BoundedQueue(std::size_t capacity, CostFunction cost)
        : limit(capacity), costOf(cost ? std::move(cost) : CostFunction([](const T&) { return 1; })) {}
    BoundedQueue(const BoundedQueue&) = delete;
    BoundedQueue& operator=(const BoundedQueue&) = delete;

    // Appends `item`, waiting for room. False, leaving `item` with the
    // caller, once the queue is closed.
    bool push(T&& item) {
        const std::size_t itemCost = costOf(item);
        std::unique_lock<std::mutex> lock(mutex);
        roomChanged.wait(lock, [&] { return isClosed || fits(itemCost); });
        return append(lock, std::move(item), itemCost);
    }

    // Appends `item` when there is room now; false (leaving `item` with the
    // caller) when the queue is full or closed.
    bool tryPush(T&& item) {
        const std::size_t itemCost = costOf(item);
        std::unique_lock<std::mutex> lock(mutex);
        if (isClosed || !fits(itemCost)) return false;
        return append(lock, std::move(item), itemCost);
    }

    // Waits until an item costing `itemCost` would be taken now. False once
    // the queue is closed. With a single producer the room found stays until
    // it pushes, so it can prepare the item (fill a buffer) only when it is
    // sure to hand it over at once.
    bool waitForRoom(std::size_t itemCost = 1) {
        std::unique_lock<std::mutex> lock(mutex);
        roomChanged.wait(lock, [&] { return isClosed || fits(itemCost); });
        return !isClosed;
    }

    // The oldest item, waiting for one; nothing once the queue is closed and
    // empty.
    std::optional<T> pop() {
        std::unique_lock<std::mutex> lock(mutex);
        itemsChanged.wait(lock, [&] { return isClosed || !items.empty(); });
        return take(lock);
    }

    // The oldest item, waiting at most `timeout`; nothing when none came in
    // time or the queue is closed and empty.
    template <typename Rep, typename Period>
    std::optional<T> popFor(std::chrono::duration<Rep, Period> timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        itemsChanged.wait_for(lock, timeout, [&] { return isClosed || !items.empty(); });
        return take(lock);
    }

    // The oldest item if there is one now.
    std::optional<T> tryPop() {
        std::unique_lock<std::mutex> lock(mutex);
        return take(lock);
    }

    // Refuses further pushes and wakes every waiting thread; items already
    // queued can still be popped. Idempotent.
    void close() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            isClosed = true;
        }
        itemsChanged.notify_all();
        roomChanged.notify_all();
    }

    // Drops every queued item (they are destroyed outside the lock).
    void clear() {
        std::deque<Entry> dropped;
        {
            std::lock_guard<std::mutex> lock(mutex);
            dropped.swap(items);
            held = 0;
        }
        roomChanged.notify_all();
    }

    bool closed() const {
        std::lock_guard<std::mutex> lock(mutex);
        return isClosed;
    }
    bool closedAndEmpty() const {
        std::lock_guard<std::mutex> lock(mutex);
        return isClosed && items.empty();
    }
    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex);
        return items.size();
    }
    // The summed cost of the queued items.
    std::size_t load() const {
        std::lock_guard<std::mutex> lock(mutex);
        return held;
    }
    std::size_t capacity() const { return limit; }

private:
    struct Entry {
        T item;
        std::size_t cost;
    };

    // Written so that a huge cost cannot wrap round; `held` may exceed the
    // limit after an oversized item went into an empty queue.
    bool fits(std::size_t itemCost) const {
        return items.empty() || (held <= limit && itemCost <= limit - held);
    }

    bool append(std::unique_lock<std::mutex>& lock, T&& item, std::size_t itemCost) {
        if (isClosed) return false;
        items.push_back(Entry{std::move(item), itemCost});
        held += itemCost;
        lock.unlock();
        itemsChanged.notify_one();
        return true;
    }

    std::optional<T> take(std::unique_lock<std::mutex>& lock) {
        if (items.empty()) return std::nullopt;
        Entry front = std::move(items.front());
        items.pop_front();
        held -= front.cost;
        lock.unlock();
        roomChanged.notify_all();
        return std::optional<T>(std::move(front.item));
    }

    const std::size_t limit;
    const CostFunction costOf;
    mutable std::mutex mutex;
    std::condition_variable itemsChanged;
    std::condition_variable roomChanged;
    std::deque<Entry> items;
    std::size_t held = 0;
    bool isClosed = false;
};

}  // namespace tarvolen
