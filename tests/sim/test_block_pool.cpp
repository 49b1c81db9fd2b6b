#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "block_pool.hpp"

namespace vorn::sim {
namespace {

TEST(BlockPool, WarmPoolReusesReturnedBlocksWithoutAllocating) {
  BlockPool::Handle pool = BlockPool::create(256);
  std::set<const std::uint8_t*> first_round;
  {
    std::vector<ManagedBuffer> held;
    for (int i = 0; i < 8; ++i) {
      held.push_back(pool.acquire(256));
      EXPECT_EQ(held.back().size, 256u);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(held.back().data.get()) % 64, 0u);
      first_round.insert(held.back().data.get());
    }
  }
  EXPECT_EQ(pool.blocks_allocated(), 8u);
  for (int round = 0; round < 100; ++round) {
    ManagedBuffer chunk = pool.acquire(100);
    EXPECT_EQ(chunk.size, 100u);
    EXPECT_TRUE(first_round.count(chunk.data.get()) == 1);
  }
  EXPECT_EQ(pool.blocks_allocated(), 8u);
  EXPECT_EQ(pool.acquire(1000).size, 256u) << "a request is capped at the block size";
}

TEST(BlockPool, IdleBlocksBeyondTheLimitAreFreed) {
  BlockPool::Handle pool = BlockPool::create(1024, 4 * 1024);  // keeps at most 4 idle
  std::vector<ManagedBuffer> held;
  for (int i = 0; i < 10; ++i) {
    held.push_back(pool.acquire(1024));
  }
  held.clear();
  EXPECT_EQ(pool.blocks_allocated(), 4u);
}

TEST(BlockPool, LivesUntilTheLastBlockReturnsOnAnyThread) {
  const std::uint64_t before = BlockPool::live_pools();
  std::vector<ManagedBuffer> held;
  {
    BlockPool::Handle pool = BlockPool::create(64);
    for (int i = 0; i < 1000; ++i) {
      held.push_back(pool.acquire(64));
      held.back().data[63] = static_cast<std::uint8_t>(i);
    }
  }
  EXPECT_EQ(BlockPool::live_pools(), before + 1) << "blocks still out keep their pool";
  // Release from several threads at once, as stream consumers would.
  std::vector<std::thread> releasers;
  for (int t = 0; t < 4; ++t) {
    std::vector<ManagedBuffer> share;
    for (int i = t; i < 1000; i += 4) {
      share.push_back(std::move(held[static_cast<std::size_t>(i)]));
    }
    releasers.emplace_back([share = std::move(share)]() mutable { share.clear(); });
  }
  for (auto& thread : releasers) {
    thread.join();
  }
  EXPECT_EQ(BlockPool::live_pools(), before);
}

TEST(BlockPool, ConcurrentReturnsWhileTheProducerAcquires) {
  const std::uint64_t before = BlockPool::live_pools();
  {
    BlockPool::Handle pool = BlockPool::create(128);
    std::atomic<bool> done{false};
    std::mutex mutex;
    std::vector<ManagedBuffer> handoff;
    std::thread consumer([&] {
      while (!done.load()) {
        std::vector<ManagedBuffer> batch;
        {
          std::lock_guard lock(mutex);
          batch.swap(handoff);
        }
      }
    });
    for (int i = 0; i < 200000; ++i) {
      ManagedBuffer chunk = pool.acquire(128);
      chunk.data[0] = 1;
      std::lock_guard lock(mutex);
      handoff.push_back(std::move(chunk));
    }
    done = true;
    consumer.join();
  }
  EXPECT_EQ(BlockPool::live_pools(), before);
}

}  // namespace
}  // namespace vorn::sim
