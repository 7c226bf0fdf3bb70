#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "media/QueuedWriter.h"

namespace tarvolen {
namespace {

// A writer of ints that records what reached its "file".
class QueuedWriterTest : public ::testing::Test {
protected:
    std::string start(std::function<bool(int&)> writeOne) {
        return work.start(std::move(writeOne), [this] { ++closes; });
    }

    QueuedWriter<int> work{2};
    std::vector<int> written;
    std::atomic<int> closes{0};
};

TEST_F(QueuedWriterTest, EveryEntryIsWrittenInOrderAndTheFileFinishedOnce) {
    ASSERT_TRUE(work.claim("a.avi"));
    ASSERT_EQ(start([this](int& n) {
                  written.push_back(n);
                  return true;
              }),
              "");
    for (int n = 0; n < 50; ++n) ASSERT_TRUE(work.push(n));
    work.finish();
    work.finish();
    std::vector<int> expected(50);
    for (int n = 0; n < 50; ++n) expected[n] = n;
    EXPECT_EQ(written, expected);
    EXPECT_EQ(closes.load(), 1);
    EXPECT_FALSE(work.accepting());
    EXPECT_FALSE(work.failed());
    EXPECT_FALSE(work.push(99));
}

TEST_F(QueuedWriterTest, OneWriterOneFile) {
    EXPECT_FALSE(work.accepting()) << "not yet claimed";
    ASSERT_TRUE(work.claim("a.avi"));
    EXPECT_TRUE(work.accepting());
    EXPECT_FALSE(work.claim("b.avi"));
    EXPECT_EQ(work.path(), "a.avi");
}

TEST_F(QueuedWriterTest, FinishedBeforeItWasOpenedItTakesNoFile) {
    work.finish();
    EXPECT_FALSE(work.claim("a.avi"));
    EXPECT_FALSE(work.accepting());
}

TEST_F(QueuedWriterTest, AnExceptionOnTheThreadIsOneLineAndTheFileIsStillFinished) {
    ASSERT_TRUE(work.claim("events/a.avi"));
    ASSERT_EQ(start([](int&) -> bool { throw std::runtime_error("codec exploded\nwith details"); }), "");
    work.push(1);
    work.finish();
    EXPECT_EQ(work.failure(), "events/a.avi: codec exploded");
    EXPECT_EQ(closes.load(), 1);
    EXPECT_FALSE(work.push(2));
}

TEST_F(QueuedWriterTest, GivingUpDropsWhatIsQueuedAndKeepsTheFirstReason) {
    ASSERT_TRUE(work.claim("a.avi"));
    std::atomic<bool> release{false};
    ASSERT_EQ(start([&](int& n) {
                  while (!release) std::this_thread::yield();
                  written.push_back(n);
                  work.giveUp("the disk is nearly full (1 KB left)");
                  return false;
              }),
              "");
    ASSERT_TRUE(work.push(1));  // taken by the thread, which waits
    ASSERT_TRUE(work.push(2));
    release = true;
    work.finish();
    EXPECT_EQ(written, std::vector<int>{1});
    EXPECT_EQ(work.failure(), "a.avi: the disk is nearly full (1 KB left)");
    work.noteFailure("finishing the file failed: later");
    EXPECT_EQ(work.failure(), "a.avi: the disk is nearly full (1 KB left)");
}

}  // namespace
}  // namespace tarvolen
