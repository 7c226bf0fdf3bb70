#include <atomic>
#include <chrono>
#include <cstddef>
#include <future>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/BoundedQueue.h"

namespace tarvolen {
namespace {

using namespace std::chrono_literals;

// Long enough for a thread that should block to reach its wait, short
// enough to keep the suite quick; a wrong result shows as a hang caught by
// the generous bound below.
constexpr auto kSettle = 20ms;
const auto kMustFinish = test::scaled(5s);

// Whether `future` is still waiting after the settle time.
template <typename T>
bool stillBlocked(std::future<T>& future) {
    return future.wait_for(kSettle) == std::future_status::timeout;
}
template <typename T>
bool finishes(std::future<T>& future) {
    return future.wait_for(kMustFinish) == std::future_status::ready;
}

std::size_t lengthOf(const std::string& s) { return s.size(); }

// ---- one thread

TEST(BoundedQueueBasics, PopsInTheOrderPushed) {
    BoundedQueue<int> queue(4);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(queue.push(int(i)));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(queue.pop(), i);
    EXPECT_EQ(queue.tryPop(), std::nullopt);
}

TEST(BoundedQueueBasics, TryPushRefusesWhenFullAndLeavesTheItem) {
    BoundedQueue<std::unique_ptr<int>> queue(1);
    ASSERT_TRUE(queue.tryPush(std::make_unique<int>(1)));
    auto second = std::make_unique<int>(2);
    EXPECT_FALSE(queue.tryPush(std::move(second)));
    ASSERT_NE(second, nullptr);  // still the caller's
    EXPECT_EQ(*second, 2);
    EXPECT_EQ(queue.size(), 1u);
}

TEST(BoundedQueueBasics, PopForTimesOutOnAnEmptyQueue) {
    BoundedQueue<int> queue(2);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(queue.popFor(5ms), std::nullopt);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 5ms);
}

TEST(BoundedQueueBasics, ClearDropsEverythingAndMakesRoom) {
    BoundedQueue<std::string> queue(10, lengthOf);
    ASSERT_TRUE(queue.push("abcd"));
    ASSERT_TRUE(queue.push("efghij"));
    EXPECT_FALSE(queue.tryPush("k"));
    queue.clear();
    EXPECT_EQ(queue.size(), 0u);
    EXPECT_EQ(queue.load(), 0u);
    EXPECT_TRUE(queue.tryPush("0123456789"));
}

// ---- cost accounting

TEST(BoundedQueueCost, LoadIsTheSumOfTheQueuedCosts) {
    BoundedQueue<std::string> queue(10, lengthOf);
    ASSERT_TRUE(queue.push("abc"));
    ASSERT_TRUE(queue.push("defg"));
    EXPECT_EQ(queue.load(), 7u);
    EXPECT_EQ(queue.size(), 2u);
    EXPECT_TRUE(queue.tryPush("hij"));  // exactly at the limit
    EXPECT_FALSE(queue.tryPush("k"));   // one unit over
    EXPECT_EQ(queue.pop(), "abc");
    EXPECT_EQ(queue.load(), 7u);
    EXPECT_TRUE(queue.tryPush("klm"));
    EXPECT_EQ(queue.load(), 10u);
}

TEST(BoundedQueueCost, AnOversizedItemGoesIntoAnEmptyQueueOnly) {
    BoundedQueue<std::string> queue(4, lengthOf);
    ASSERT_TRUE(queue.tryPush(std::string(100, 'x')));
    EXPECT_EQ(queue.load(), 100u);
    EXPECT_FALSE(queue.tryPush("a"));  // over the limit until it is taken
    ASSERT_TRUE(queue.pop());
    EXPECT_TRUE(queue.tryPush("ab"));
    EXPECT_FALSE(queue.tryPush(std::string(100, 'x')));
}

TEST(BoundedQueueCost, AHugeCostDoesNotWrapRoundIntoRoom) {
    BoundedQueue<std::size_t> queue(10, [](const std::size_t& cost) { return cost; });
    ASSERT_TRUE(queue.push(5));
    EXPECT_FALSE(queue.tryPush(std::numeric_limits<std::size_t>::max()));
    EXPECT_FALSE(queue.tryPush(std::numeric_limits<std::size_t>::max() - 2));
    EXPECT_EQ(queue.size(), 1u);
}

TEST(BoundedQueueCost, WithoutACostFunctionEachItemCostsOne) {
    BoundedQueue<std::string> queue(2, nullptr);
    EXPECT_TRUE(queue.tryPush(std::string(50, 'x')));
    EXPECT_TRUE(queue.tryPush(std::string(50, 'y')));
    EXPECT_FALSE(queue.tryPush("z"));
    EXPECT_EQ(queue.load(), 2u);
}

// ---- close

TEST(BoundedQueueClose, RefusesPushesWhilePopsDrainWhatIsLeft) {
    BoundedQueue<int> queue(3);
    ASSERT_TRUE(queue.push(1));
    ASSERT_TRUE(queue.push(2));
    queue.close();
    queue.close();  // idempotent
    EXPECT_TRUE(queue.closed());
    EXPECT_FALSE(queue.push(3));
    EXPECT_FALSE(queue.tryPush(3));
    EXPECT_FALSE(queue.waitForRoom());
    EXPECT_FALSE(queue.closedAndEmpty());
    EXPECT_EQ(queue.pop(), 1);
    EXPECT_EQ(queue.popFor(1ms), 2);
    EXPECT_TRUE(queue.closedAndEmpty());
    EXPECT_EQ(queue.pop(), std::nullopt);  // does not wait
}

TEST(BoundedQueueClose, WakesABlockedPopWithNothing) {
    BoundedQueue<int> queue(1);
    auto popped = std::async(std::launch::async, [&] { return queue.pop(); });
    ASSERT_TRUE(stillBlocked(popped));
    queue.close();
    ASSERT_TRUE(finishes(popped));
    EXPECT_EQ(popped.get(), std::nullopt);
}

TEST(BoundedQueueClose, WakesABlockedPushAndLeavesItTheItem) {
    BoundedQueue<std::unique_ptr<int>> queue(1);
    ASSERT_TRUE(queue.push(std::make_unique<int>(1)));
    auto item = std::make_unique<int>(2);
    auto pushed = std::async(std::launch::async, [&] { return queue.push(std::move(item)); });
    ASSERT_TRUE(stillBlocked(pushed));
    queue.close();
    ASSERT_TRUE(finishes(pushed));
    EXPECT_FALSE(pushed.get());
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(*item, 2);
    EXPECT_EQ(queue.size(), 1u);
}

TEST(BoundedQueueClose, WakesAThreadWaitingForRoom) {
    BoundedQueue<int> queue(1);
    ASSERT_TRUE(queue.push(1));
    auto waited = std::async(std::launch::async, [&] { return queue.waitForRoom(); });
    ASSERT_TRUE(stillBlocked(waited));
    queue.close();
    ASSERT_TRUE(finishes(waited));
    EXPECT_FALSE(waited.get());
}

// ---- waiting for room

TEST(BoundedQueueBlocking, PushWaitsUntilAPopMakesRoom) {
    BoundedQueue<std::string> queue(5, lengthOf);
    ASSERT_TRUE(queue.push("abcd"));
    auto pushed = std::async(std::launch::async, [&] { return queue.push("ef"); });
    ASSERT_TRUE(stillBlocked(pushed));
    EXPECT_EQ(queue.pop(), "abcd");
    ASSERT_TRUE(finishes(pushed));
    EXPECT_TRUE(pushed.get());
    EXPECT_EQ(queue.pop(), "ef");
}

TEST(BoundedQueueBlocking, ClearWakesAWaitingPush) {
    BoundedQueue<int> queue(1);
    ASSERT_TRUE(queue.push(1));
    auto pushed = std::async(std::launch::async, [&] { return queue.push(2); });
    ASSERT_TRUE(stillBlocked(pushed));
    queue.clear();
    ASSERT_TRUE(finishes(pushed));
    EXPECT_TRUE(pushed.get());
    EXPECT_EQ(queue.tryPop(), 2);
}

TEST(BoundedQueueBlocking, PopForReturnsAnItemPushedWhileItWaits) {
    BoundedQueue<int> queue(1);
    auto popped = std::async(std::launch::async, [&] { return queue.popFor(kMustFinish); });
    ASSERT_TRUE(stillBlocked(popped));
    ASSERT_TRUE(queue.push(7));
    ASSERT_TRUE(finishes(popped));
    EXPECT_EQ(popped.get(), 7);
}

// ---- many threads

// Each producer pushes its own increasing sequence; every item must arrive
// exactly once, and each producer's items in its order.
TEST(BoundedQueueThreads, ManyProducersAndConsumersLoseNothingAndKeepEachProducersOrder) {
    constexpr int kProducers = 3;
    constexpr int kConsumers = 3;
    constexpr int kPerProducer = 2000;
    struct Item {
        int producer;
        int sequence;
    };
    BoundedQueue<Item> queue(4);
    std::vector<std::vector<Item>> received(kConsumers);
    std::vector<std::thread> consumers;
    for (int c = 0; c < kConsumers; ++c) {
        consumers.emplace_back([&queue, &mine = received[c]] {
            while (std::optional<Item> item = queue.pop()) mine.push_back(*item);
        });
    }
    std::vector<std::thread> producers;
    std::atomic<int> refused{0};
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&queue, &refused, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                if (!queue.push(Item{p, i})) ++refused;
            }
        });
    }
    for (std::thread& t : producers) t.join();
    queue.close();
    for (std::thread& t : consumers) t.join();

    EXPECT_EQ(refused.load(), 0);
    std::vector<std::vector<bool>> seen(kProducers, std::vector<bool>(kPerProducer, false));
    for (const std::vector<Item>& mine : received) {
        // One consumer pops in queue order, so each producer's items it got
        // must be increasing.
        std::vector<int> last(kProducers, -1);
        for (const Item& item : mine) {
            EXPECT_GT(item.sequence, last[item.producer]) << "producer " << item.producer;
            last[item.producer] = item.sequence;
            EXPECT_FALSE(seen[item.producer][item.sequence]) << "duplicate";
            seen[item.producer][item.sequence] = true;
        }
    }
    for (int p = 0; p < kProducers; ++p) {
        for (int i = 0; i < kPerProducer; ++i) ASSERT_TRUE(seen[p][i]) << "lost " << p << "/" << i;
    }
    EXPECT_EQ(queue.load(), 0u);
}

TEST(BoundedQueueThreads, ConcurrentPushesNeverTakeTheLoadOverTheCapacity) {
    constexpr std::size_t kCapacity = 10;
    BoundedQueue<std::size_t> queue(kCapacity, [](const std::size_t& cost) { return cost; });
    std::atomic<bool> overLimit{false};
    std::thread consumer([&] {
        while (queue.pop()) {
            if (queue.load() > kCapacity) overLimit = true;
        }
    });
    std::vector<std::thread> producers;
    for (int p = 0; p < 2; ++p) {
        producers.emplace_back([&queue] {
            for (std::size_t i = 0; i < 3000; ++i) queue.push(1 + i % 7);
        });
    }
    for (std::thread& t : producers) t.join();
    queue.close();
    consumer.join();
    EXPECT_FALSE(overLimit.load());
}

}  // namespace
}  // namespace tarvolen
