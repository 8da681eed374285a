// Publication of frames between the simulator's thread and the sessions: readers always get a
// whole frame with the sequence it was published under, waits end on publication or stop, and
// the sequence wraps without ever holding 0x7FFFFFFF.
#include "simdata/frame_exchange.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace velkaro {
namespace {

using std::chrono::milliseconds;

std::vector<std::uint8_t> FrameOf(std::uint8_t fill) {
  return std::vector<std::uint8_t>(kFrameSize, fill);
}

// The exchange's waker, run as the socket server runs it.
class Waker {
 public:
  explicit Waker(FrameExchange& frames)
      : frames_(frames), thread_([this] { frames_.RunWaker(); }) {}
  ~Waker() {
    frames_.StopWaker();
    thread_.join();
  }

 private:
  FrameExchange& frames_;
  std::thread thread_;
};

TEST(FrameExchangeTest, SequenceWrapsToZeroAndNeverHoldsTheLargestValue) {
  EXPECT_EQ(NextFrameSequence(0), 1);
  EXPECT_EQ(NextFrameSequence(0x7FFFFFFD), 0x7FFFFFFE);
  EXPECT_EQ(NextFrameSequence(0x7FFFFFFE), 0);

  FrameExchange frames(0x7FFFFFFE);
  EXPECT_EQ(frames.Sequence(), 0x7FFFFFFE);
  frames.Publish(FrameOf(1).data());
  EXPECT_EQ(frames.Sequence(), 0);
  std::vector<std::uint8_t> out(kFrameSize);
  EXPECT_EQ(frames.ReadLatest(out.data()), 0) << "the frame carries the wrapped sequence";
  frames.Publish(FrameOf(2).data());
  EXPECT_EQ(frames.Sequence(), 1);
}

TEST(FrameExchangeTest, StoreDoesNotAdvanceAndPublishDoes) {
  FrameExchange frames;
  std::vector<std::uint8_t> out(kFrameSize);
  frames.Store(FrameOf(7).data());
  EXPECT_EQ(frames.ReadLatest(out.data()), 0);
  EXPECT_EQ(out, FrameOf(7));
  frames.Publish(FrameOf(9).data());
  EXPECT_EQ(frames.ReadLatest(out.data()), 1);
  EXPECT_EQ(out, FrameOf(9));
}

TEST(FrameExchangeTest, ReadersNeverSeeAHalfWrittenFrame) {
  FrameExchange frames;
  frames.Store(FrameOf(0).data());
  std::atomic<bool> done{false};
  std::atomic<long> reads{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      std::vector<std::uint8_t> out(kFrameSize);
      while (!done.load()) {
        const std::int32_t sequence = frames.ReadLatest(out.data());
        // Frame n is filled with n & 0xFF: every byte agrees with the sequence it came with.
        for (std::uint8_t b : out) {
          ASSERT_EQ(b, static_cast<std::uint8_t>(sequence))
              << "torn frame at sequence " << sequence;
        }
        reads.fetch_add(1);
      }
    });
  }
  for (int n = 1; n <= 20000; ++n) frames.Publish(FrameOf(static_cast<std::uint8_t>(n)).data());
  while (reads.load() < 1000) std::this_thread::yield();
  done = true;
  for (std::thread& t : readers) t.join();
}

TEST(FrameExchangeTest, AWaitEndsWithThePublicationNotTheLimit) {
  FrameExchange frames;
  Waker waker(frames);
  frames.Publish(FrameOf(1).data());
  std::atomic<std::int32_t> seen{-1};
  std::thread waiter([&] { seen = frames.WaitForChange(1, milliseconds(60000)); });
  std::this_thread::sleep_for(milliseconds(20));
  frames.Publish(FrameOf(2).data());
  waiter.join();  // a lost wake-up would keep it for a minute and then see 1
  EXPECT_EQ(seen.load(), 2);
}

TEST(FrameExchangeTest, AWaitWithoutPublicationEndsAtItsLimitWithTheSameSequence) {
  FrameExchange frames;
  Waker waker(frames);
  frames.Publish(FrameOf(1).data());
  EXPECT_EQ(frames.WaitForChange(1, milliseconds(20)), 1);
  EXPECT_EQ(frames.WaitForChange(0, milliseconds(60000)), 1) << "already changed: no wait";
}

TEST(FrameExchangeTest, WakeAllEndsEveryWait) {
  FrameExchange frames;
  Waker waker(frames);
  frames.Publish(FrameOf(1).data());
  std::vector<std::thread> waiters;
  std::atomic<int> ended{0};
  for (int i = 0; i < 8; ++i) {
    waiters.emplace_back([&] {
      frames.WaitForChange(1, milliseconds(60000));
      ended.fetch_add(1);
    });
  }
  std::this_thread::sleep_for(milliseconds(20));
  frames.WakeAll();
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(ended.load(), 8);
}

TEST(FrameExchangeTest, ManyWaitersAllGetEveryPublication) {
  FrameExchange frames;
  Waker waker(frames);
  frames.Publish(FrameOf(1).data());
  constexpr int kWaiters = 32;
  constexpr int kFrames = 50;
  std::atomic<int> ready{0};
  std::vector<int> received(kWaiters, 0);
  std::vector<std::thread> waiters;
  for (int w = 0; w < kWaiters; ++w) {
    waiters.emplace_back([&, w] {
      std::int32_t seen = 1;
      ready.fetch_add(1);
      while (seen < 1 + kFrames) {
        const std::int32_t now = frames.WaitForChange(seen, milliseconds(60000));
        if (now != seen) ++received[static_cast<std::size_t>(w)];
        seen = now;
      }
    });
  }
  while (ready.load() < kWaiters) std::this_thread::yield();
  for (int n = 2; n <= 1 + kFrames; ++n) {
    frames.Publish(FrameOf(static_cast<std::uint8_t>(n)).data());
    std::this_thread::sleep_for(milliseconds(2));
  }
  for (std::thread& t : waiters) t.join();
  for (int w = 0; w < kWaiters; ++w) EXPECT_GT(received[static_cast<std::size_t>(w)], 0);
}

}  // namespace
}  // namespace velkaro
