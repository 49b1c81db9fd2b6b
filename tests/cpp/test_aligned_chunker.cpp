// AlignedChunker: re-cutting into aligned pieces, in-place emission, and the
// storage hand-over through ViewLease. No Python.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "core/stream/aligned_chunker.hpp"
#include "core/stream/event_pump.hpp"
#include "core/stream/view_lease.hpp"
#include "stream_callback_access.hpp"
#include "stream_recorder.hpp"
#include "vorn/stream.hpp"

namespace pyvorn {
namespace {

std::atomic<int> deleted{0};

void counting_delete(std::uint8_t* block) {
  deleted.fetch_add(1);
  delete[] block;
}

// A block of `size` bytes counting up from `first`.
std::vector<std::uint8_t> bytes_from(std::uint8_t first, std::size_t size) {
  std::vector<std::uint8_t> out(size);
  std::iota(out.begin(), out.end(), first);
  return out;
}

vorn::StreamEvent owning(const std::vector<std::uint8_t>& bytes) {
  auto* block = new std::uint8_t[bytes.size() + 1];
  std::copy(bytes.begin(), bytes.end(), block);  // an empty vector's data() may be null
  return vorn::StreamEvent(std::in_place_index<2>, vorn::ManagedBuffer(block, bytes.size(), &counting_delete));
}

vorn::StreamEvent view(std::vector<std::uint8_t>& bytes) {
  return vorn::StreamEvent(std::in_place_index<3>, vorn::DataView{bytes.data(), bytes.size()});
}

using vorn::test::RecordedEvent;
using vorn::test::StreamRecorder;

// The downstream: the shared recorder, with byte copies, plus what only these
// tests look at, whether a view lease was published for each call. `during`
// runs inside each call, before the call is recorded. Single-threaded.
struct Sink {
  std::shared_ptr<StreamRecorder> recorder = std::make_shared<StreamRecorder>(false, true);
  std::vector<bool> leases;
  std::function<void(vorn::StreamEvent&)> during;

  std::vector<RecordedEvent> got() const { return recorder->events(); }
  int destroyed() const { return recorder->destroy_count(); }
};

vorn::StreamCallback downstream_for(Sink& sink) {
  sink.recorder->during = [&sink](vorn::StreamEvent& event) {
    sink.leases.push_back(current_view_lease() != nullptr);
    if (sink.during) {
      sink.during(event);
    }
  };
  return StreamRecorder::callback(sink.recorder);
}

void send(vorn::StreamCallback& chunker, vorn::StreamEvent event) { chunker(event); }

TEST(AlignedChunker, RecutsIntoWholeUnitsInPlaceAndThroughTheCarry) {
  Sink sink;
  deleted = 0;
  {
    vorn::StreamCallback chunker = make_aligned_chunker(downstream_for(sink), 4);
    const auto one = bytes_from(10, 6);
    const auto two = bytes_from(20, 3);
    const auto three = bytes_from(30, 2);
    vorn::StreamEvent first = owning(one);
    const std::uint8_t* first_data = std::get<2>(first).data.get();
    chunker(first);
    ASSERT_EQ(sink.got().size(), 1u);
    EXPECT_EQ(sink.got()[0].data, first_data);  // in place
    send(chunker, owning(two));
    send(chunker, owning(three));
    send(chunker, vorn::StreamEvent{});
    ASSERT_EQ(sink.got().size(), 4u);
    EXPECT_EQ(sink.got()[0].bytes, (std::vector<std::uint8_t>{10, 11, 12, 13}));
    EXPECT_EQ(sink.got()[1].bytes, (std::vector<std::uint8_t>{14, 15, 20, 21}));
    EXPECT_EQ(sink.got()[2].bytes, (std::vector<std::uint8_t>{22, 30, 31}));
    EXPECT_EQ(sink.got()[3].kind, RecordedEvent::end);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(sink.got()[i].kind, RecordedEvent::view);
      EXPECT_TRUE(sink.leases[i]);
    }
    EXPECT_FALSE(sink.leases[3]);
    EXPECT_EQ(sink.got()[1].data, sink.got()[2].data);  // both from the carry
    EXPECT_EQ(sink.destroyed(), 0);
  }
  EXPECT_EQ(sink.destroyed(), 1);
  EXPECT_EQ(deleted.load(), 3);  // each incoming chunk once, by its event
}

TEST(AlignedChunker, AlignmentOnePassesChunksWholeInPlace) {
  Sink sink;
  vorn::StreamCallback chunker = make_aligned_chunker(downstream_for(sink), 1);
  auto a = bytes_from(0, 7);
  auto b = bytes_from(50, 1);
  auto c = bytes_from(90, 13);
  send(chunker, view(a));
  vorn::StreamEvent owned = owning(b);
  const std::uint8_t* owned_data = std::get<2>(owned).data.get();
  chunker(owned);
  send(chunker, view(c));
  send(chunker, vorn::StreamEvent{});
  ASSERT_EQ(sink.got().size(), 4u);
  EXPECT_EQ(sink.got()[0].data, a.data());
  EXPECT_EQ(sink.got()[0].bytes, a);
  EXPECT_EQ(sink.got()[1].data, owned_data);
  EXPECT_EQ(sink.got()[1].bytes, b);
  EXPECT_EQ(sink.got()[2].data, c.data());
  EXPECT_EQ(sink.got()[2].bytes, c);
  EXPECT_EQ(sink.got()[3].kind, RecordedEvent::end);
}

TEST(AlignedChunker, ZeroByteChunksAndEmptyCarryEmitNothing) {
  Sink sink;
  vorn::StreamCallback chunker = make_aligned_chunker(downstream_for(sink), 8);
  std::vector<std::uint8_t> none;
  send(chunker, view(none));
  send(chunker, owning(none));
  send(chunker, vorn::StreamEvent(std::in_place_index<2>, vorn::ManagedBuffer()));
  EXPECT_TRUE(sink.got().empty());
  send(chunker, vorn::StreamEvent{});
  ASSERT_EQ(sink.got().size(), 1u);
  EXPECT_EQ(sink.got()[0].kind, RecordedEvent::end);
}

TEST(AlignedChunker, ErrorTextsPassInTheirPlace) {
  Sink sink;
  vorn::StreamCallback chunker = make_aligned_chunker(downstream_for(sink), 4);
  auto a = bytes_from(0, 5);
  send(chunker, view(a));
  vorn::StreamEvent error(std::in_place_index<1>, std::string("device says no, loudly and at length"));
  chunker(error);
  EXPECT_TRUE(std::get<1>(error).empty());  // moved on
  auto b = bytes_from(5, 3);
  send(chunker, view(b));
  ASSERT_EQ(sink.got().size(), 3u);
  EXPECT_EQ(sink.got()[0].bytes, bytes_from(0, 4));
  EXPECT_EQ(sink.got()[1].kind, RecordedEvent::error);
  EXPECT_EQ(sink.got()[1].text, "device says no, loudly and at length");
  EXPECT_FALSE(sink.leases[1]);
  EXPECT_EQ(sink.got()[2].bytes, bytes_from(4, 4));
}

// Bytes on the two sides of a gap never make one unit: those held before
// it go out short, ahead of the notice.
TEST(AlignedChunker, NoUnitSpansTheGapOfLostData) {
  for (const char* notice : {"Queue Overflow, dropping event", "Invalid stream chunk: null data with 8 bytes",
                             "Out of memory: cannot copy a chunk view of 8 bytes"}) {
    Sink sink;
    vorn::StreamCallback chunker = make_aligned_chunker(downstream_for(sink), 4);
    send(chunker, owning(bytes_from(0, 6)));
    send(chunker, vorn::StreamEvent(std::in_place_index<1>, std::string(notice)));
    send(chunker, vorn::StreamEvent(std::in_place_index<1>, std::string(notice)));  // nothing held: nothing more
    send(chunker, owning(bytes_from(6, 6)));
    send(chunker, vorn::StreamEvent{});
    const auto got = sink.got();
    ASSERT_EQ(got.size(), 7u) << notice;
    EXPECT_EQ(got[0].bytes, bytes_from(0, 4));
    EXPECT_EQ(got[1].bytes, bytes_from(4, 2));
    EXPECT_EQ(got[2].text, notice);
    EXPECT_EQ(got[3].text, notice);
    EXPECT_EQ(got[4].bytes, bytes_from(6, 4));
    EXPECT_EQ(got[5].bytes, bytes_from(10, 2));
    EXPECT_EQ(got[6].kind, RecordedEvent::end);
  }
}

TEST(AlignedChunker, ZeroAlignmentIsRefused) {
  Sink sink;
  try {
    make_aligned_chunker(downstream_for(sink), 0);
    FAIL() << "alignment 0 was accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find('0'), std::string::npos) << e.what();
  }
  EXPECT_EQ(sink.destroyed(), 1);
}

TEST(AlignedChunker, AnUnallocatableCarryThrows) {
  Sink sink;
  EXPECT_ANY_THROW(make_aligned_chunker(downstream_for(sink), UINT64_MAX));
  EXPECT_EQ(sink.destroyed(), 1);
}

TEST(AlignedChunker, NullStateDestroyIsIgnored) {
  Sink sink;
  vorn::StreamCallback chunker = make_aligned_chunker(downstream_for(sink), 3);
  vorn::StreamCallbackAccess::ops(chunker)->destroy(nullptr);
  EXPECT_EQ(sink.destroyed(), 0);
}

// Random streams against the expected cut: fixed seeds, alignments 1..64,
// chunks of 0 to several units, owning chunks and views, error texts in
// between, and a consumer that takes the storage of some emissions.
TEST(AlignedChunker, RandomStreamsMatchTheReference) {
  for (std::uint32_t seed = 1; seed <= 300; ++seed) {
    std::mt19937 rng(seed);
    const std::uint64_t unit = 1 + rng() % 64;
    const bool taking = seed % 2 == 0;
    deleted = 0;
    int made = 0;

    Sink sink;
    std::vector<std::shared_ptr<void>> kept;  // taken owners
    std::vector<std::size_t> kept_emission;   // which emission each belongs to
    sink.during = [&](vorn::StreamEvent& event) {
      if (event.index() == 3 && taking && rng() % 3 == 0) {
        ViewLease* lease = current_view_lease();
        ASSERT_NE(lease, nullptr);
        auto owner = lease->take();
        EXPECT_EQ(lease->take(), owner);  // a second call changes nothing
        if (owner) {
          kept.push_back(std::move(owner));
          kept_emission.push_back(sink.recorder->event_count());
        }
      }
    };

    std::vector<std::uint8_t> input;              // every data byte, in order
    std::vector<std::size_t> expected_before;     // data bytes expected before each error
    std::vector<std::vector<std::uint8_t>> live;  // view memory the "device" keeps
    {
      vorn::StreamCallback chunker = make_aligned_chunker(downstream_for(sink), unit);
      const int events = 1 + static_cast<int>(rng() % 60);
      for (int i = 0; i < events; ++i) {
        const auto kind = static_cast<unsigned>(rng() % 10);
        if (kind == 0) {
          expected_before.push_back(input.size() - input.size() % unit);
          send(chunker, vorn::StreamEvent(std::in_place_index<1>, "error " + std::to_string(i)));
          continue;
        }
        std::size_t size = 0;
        switch (rng() % 4) {
          case 0:
            size = 0;
            break;
          case 1:
            size = rng() % unit;
            break;
          case 2:
            size = rng() % (3 * unit + 1);
            break;
          default:
            size = rng() % (9 * unit + 5);
            break;
        }
        std::vector<std::uint8_t> data(size);
        for (auto& b : data) {
          b = static_cast<std::uint8_t>(rng());
        }
        input.insert(input.end(), data.begin(), data.end());
        const std::size_t before = sink.got().size();
        if (kind < 6) {
          ++made;
          vorn::StreamEvent e = owning(data);
          const std::uint8_t* p = std::get<2>(e).data.get();
          chunker(e);
          for (std::size_t k = before; k < sink.got().size(); ++k) {
            const RecordedEvent em = sink.got()[k];
            // Longer than a unit means in place.
            if (em.bytes.size() > unit) {
              ASSERT_GE(em.data, p);
              ASSERT_LE(em.data + em.bytes.size(), p + size);
            }
          }
          // Device side: a taken chunk leaves the event empty, so the deleter
          // has not run; otherwise it runs here, when the event dies.
        } else {
          live.push_back(std::move(data));
          auto& kept_view = live.back();
          send(chunker, view(kept_view));
          for (std::size_t k = before; k < sink.got().size(); ++k) {
            const RecordedEvent em = sink.got()[k];
            if (em.bytes.size() > unit) {
              ASSERT_GE(em.data, kept_view.data());
              ASSERT_LE(em.data + em.bytes.size(), kept_view.data() + kept_view.size());
            }
          }
          // The device reuses its memory once the call returned.
          std::fill(kept_view.begin(), kept_view.end(), 0xA5);
        }
      }
      send(chunker, vorn::StreamEvent{});
    }
    ASSERT_EQ(sink.destroyed(), 1);

    std::vector<std::uint8_t> output;
    std::size_t errors = 0;
    ASSERT_FALSE(sink.got().empty());
    ASSERT_EQ(sink.got().back().kind, RecordedEvent::end) << "seed " << seed;
    for (std::size_t k = 0; k + 1 < sink.got().size(); ++k) {
      const RecordedEvent em = sink.got()[k];
      if (em.kind == RecordedEvent::error) {
        ASSERT_LT(errors, expected_before.size());
        EXPECT_EQ(output.size(), expected_before[errors]) << "seed " << seed << " error " << errors;
        ++errors;
        continue;
      }
      ASSERT_EQ(em.kind, RecordedEvent::view);
      ASSERT_FALSE(em.bytes.empty()) << "seed " << seed;
      ASSERT_TRUE(sink.leases[k]);
      if (em.bytes.size() % unit != 0) {
        // Only the final piece, flushed by the end marker, is unaligned.
        ASSERT_EQ(k + 2, sink.got().size()) << "seed " << seed << " emission " << k;
        ASSERT_LT(em.bytes.size(), unit);
      }
      output.insert(output.end(), em.bytes.begin(), em.bytes.end());
    }
    EXPECT_EQ(errors, expected_before.size());
    ASSERT_EQ(output, input) << "seed " << seed << " unit " << unit;

    // Everything taken still holds the bytes it had when it was emitted.
    for (std::size_t t = 0; t < kept.size(); ++t) {
      const RecordedEvent em = sink.got()[kept_emission[t]];
      ASSERT_EQ(std::memcmp(em.data, em.bytes.data(), em.bytes.size()), 0)
          << "seed " << seed << ": taken storage of emission " << kept_emission[t] << " changed";
    }
    EXPECT_LE(deleted.load(), made);
    kept.clear();
    EXPECT_EQ(deleted.load(), made) << "seed " << seed;  // each chunk exactly once
  }
}

TEST(AlignedChunker, TakenCarryIsNeverOverwritten) {
  Sink sink;
  std::shared_ptr<void> owner;
  const std::uint8_t* taken_data = nullptr;
  std::vector<std::uint8_t> taken_bytes;
  sink.during = [&](vorn::StreamEvent& event) {
    if (!owner && sink.recorder->event_count() == 0) {
      owner = current_view_lease()->take();
      const vorn::DataView& v = std::get<3>(event);
      taken_data = v.data;
      taken_bytes.assign(v.data, v.data + v.size);
    }
  };
  vorn::StreamCallback chunker = make_aligned_chunker(downstream_for(sink), 8);
  auto a = bytes_from(1, 5);
  auto b = bytes_from(6, 5);  // completes the carry: emission 0 is the carry
  send(chunker, view(a));
  send(chunker, view(b));
  ASSERT_EQ(sink.got().size(), 1u);
  ASSERT_NE(owner, nullptr);
  EXPECT_EQ(taken_bytes, bytes_from(1, 8));
  // Later chunks pass through the carry again and again.
  for (std::uint8_t round = 0; round < 50; ++round) {
    auto c = bytes_from(static_cast<std::uint8_t>(100 + round), 3 + round % 7);
    send(chunker, view(c));
  }
  send(chunker, vorn::StreamEvent{});
  EXPECT_GT(sink.got().size(), 10u);
  EXPECT_EQ(std::vector<std::uint8_t>(taken_data, taken_data + 8), bytes_from(1, 8));
  // The carry's storage was the one taken: later carry emissions use another.
  for (std::size_t k = 1; k < sink.got().size(); ++k) {
    EXPECT_NE(sink.got()[k].data, taken_data);
  }
}

TEST(AlignedChunker, TakenFinalPieceKeepsTheChunkerConsistent) {
  Sink sink;
  std::vector<std::shared_ptr<void>> owners;
  sink.during = [&](vorn::StreamEvent& event) {
    if (event.index() == 3) {
      owners.push_back(current_view_lease()->take());
    }
  };
  vorn::StreamCallback chunker = make_aligned_chunker(downstream_for(sink), 4);
  auto a = bytes_from(1, 3);
  send(chunker, view(a));
  send(chunker, vorn::StreamEvent{});  // emits the 3 held bytes, which are taken
  ASSERT_EQ(sink.got().size(), 2u);
  EXPECT_EQ(sink.got()[0].bytes, bytes_from(1, 3));
  // Data after the end marker (not via a pump) still continues the same unit.
  auto b = bytes_from(4, 1);
  send(chunker, view(b));
  ASSERT_EQ(sink.got().size(), 3u);
  EXPECT_EQ(sink.got()[2].bytes, bytes_from(1, 4));
  EXPECT_EQ(std::vector<std::uint8_t>(sink.got()[0].data, sink.got()[0].data + 3), bytes_from(1, 3));
}

TEST(AlignedChunker, TakenOwningChunkLivesUntilTheOwnerIsDropped) {
  Sink sink;
  deleted = 0;
  std::shared_ptr<void> owner;
  const std::uint8_t* taken_data = nullptr;
  sink.during = [&](vorn::StreamEvent& event) {
    if (!owner && std::get<3>(event).size == 8) {  // the in-place run of the second chunk
      owner = current_view_lease()->take();
      taken_data = std::get<3>(event).data;
    }
  };
  vorn::StreamCallback chunker = make_aligned_chunker(downstream_for(sink), 4);
  send(chunker, owning(bytes_from(0, 2)));  // held in the carry
  EXPECT_EQ(deleted.load(), 1);
  {
    // 2 complete the carry, 8 go in place, 1 is the new tail.
    vorn::StreamEvent second = owning(bytes_from(2, 11));
    const std::uint8_t* second_data = std::get<2>(second).data.get();
    chunker(second);
    ASSERT_EQ(sink.got().size(), 2u);
    EXPECT_EQ(sink.got()[0].bytes, bytes_from(0, 4));
    EXPECT_EQ(sink.got()[1].data, second_data + 2);
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(std::get<2>(second).data, nullptr);  // moved out of the incoming event
  }
  EXPECT_EQ(deleted.load(), 1);  // the taken chunk lives on
  for (int i = 0; i < 20; ++i) {
    send(chunker, owning(bytes_from(static_cast<std::uint8_t>(200 + i), 6)));
  }
  EXPECT_EQ(deleted.load(), 21);
  EXPECT_EQ(std::vector<std::uint8_t>(taken_data, taken_data + 8), bytes_from(4, 8));
  owner.reset();
  EXPECT_EQ(deleted.load(), 22);  // exactly once, when the owner went
}

TEST(AlignedChunker, TakeOfADeviceViewGivesNothing) {
  Sink sink;
  std::vector<std::shared_ptr<void>> owners;
  sink.during = [&](vorn::StreamEvent&) { owners.push_back(current_view_lease()->take()); };
  vorn::StreamCallback chunker = make_aligned_chunker(downstream_for(sink), 2);
  auto a = bytes_from(0, 6);
  send(chunker, view(a));
  ASSERT_EQ(owners.size(), 1u);
  EXPECT_EQ(owners[0], nullptr);
  EXPECT_EQ(sink.got()[0].data, a.data());
}

TEST(AlignedChunker, NoLeaseOutsideEmissions) {
  Sink sink;
  vorn::StreamCallback chunker = make_aligned_chunker(downstream_for(sink), 2);
  auto a = bytes_from(0, 3);
  send(chunker, view(a));
  EXPECT_EQ(current_view_lease(), nullptr);
  send(chunker, vorn::StreamEvent{});
  EXPECT_EQ(current_view_lease(), nullptr);
}

// End to end behind an EventPump, on its worker: views pushed by the device
// are copied by the pump, so the in-place runs can be taken.
TEST(AlignedChunker, BehindAnEventPump) {
  auto sink = std::make_shared<StreamRecorder>(/*keep_owned=*/false, /*copy_bytes=*/true);
  std::vector<std::shared_ptr<void>> owners;  // the worker's until the sink is destroyed
  int views = 0;
  sink->during = [&](vorn::StreamEvent& event) {
    if (event.index() == 3 && ++views % 2 == 0) {
      owners.push_back(current_view_lease()->take());
    }
  };
  std::vector<std::uint8_t> input;
  {
    vorn::StreamCallback pump = make_event_pump(make_aligned_chunker(StreamRecorder::callback(sink), 16), 4096);
    std::thread device([&] {
      std::mt19937 rng(7);
      std::vector<std::uint8_t> buffer(200);
      for (int i = 0; i < 2000; ++i) {
        const std::size_t size = rng() % buffer.size();
        for (std::size_t k = 0; k < size; ++k) {
          buffer[k] = static_cast<std::uint8_t>(rng());
        }
        input.insert(input.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size));
        vorn::StreamEvent e(std::in_place_index<3>, vorn::DataView{buffer.data(), size});
        pump(e);
      }
      vorn::StreamEvent end;
      pump(end);
    });
    device.join();
    ASSERT_TRUE(sink->wait_for_destroyed(std::chrono::seconds(20)));
  }
  const auto got = sink->events();
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back().kind, RecordedEvent::end);
  std::vector<std::uint8_t> bytes;
  for (std::size_t k = 0; k + 1 < got.size(); ++k) {
    ASSERT_EQ(got[k].kind, RecordedEvent::view);
    ASSERT_TRUE(k + 2 == got.size() || got[k].size % 16 == 0) << k;  // all but the last piece
    bytes.insert(bytes.end(), got[k].bytes.begin(), got[k].bytes.end());
  }
  EXPECT_EQ(bytes, input);
  for (const auto& owner : owners) {
    EXPECT_NE(owner, nullptr);  // the pump's copies and the carry are the module's
  }
}

}  // namespace
}  // namespace pyvorn
