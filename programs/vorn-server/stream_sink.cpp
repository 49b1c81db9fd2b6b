#include "stream_sink.hpp"

#include <cstring>
#include <variant>

namespace vorn::server {
namespace {

using remote::Data;
using remote::Event;

class StreamSink {
 public:
  StreamSink(std::shared_ptr<StreamLink> link, std::shared_ptr<void> keep_alive)
      : link_(std::move(link)), chunks_(std::move(keep_alive)) {}

  void push(StreamEvent& event) noexcept {
    StreamLink& link = *link_;
    const std::uint64_t seq = next_seq_++;
    if (link.muted.load(std::memory_order_acquire)) {
      event = StreamEvent{};
      return;
    }
    const std::uint64_t size = payload_size(event);
    const bool end = event.index() == event_kind::end;
    const std::int64_t messages = link.in_flight_messages.load(std::memory_order_acquire);
    const std::int64_t bytes = link.in_flight_bytes.load(std::memory_order_acquire);
    const bool fits = messages == 0 || (messages < static_cast<std::int64_t>(remote::kWindowMessages) &&
                                        static_cast<std::uint64_t>(bytes) + size <= remote::kWindowBytes);
    if (!end && !fits) {
      event = StreamEvent{};  // dropped: the skipped number tells the client
      link.dropped.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    try {
      remote::Outgoing out{link.route, {}};
      Data data{link.id, seq, Event::end, {}};
      zmq::message_t payload;
      switch (event.index()) {
        case event_kind::error:
          data.event = Event::error;
          data.text = std::move(std::get<event_kind::error>(event));
          break;
        case event_kind::owned_chunk:
          data.event = Event::chunk;
          payload = chunks_.send(std::move(std::get<event_kind::owned_chunk>(event)));
          break;
        case event_kind::chunk_view: {
          data.event = Event::chunk;
          const DataView view = std::get<event_kind::chunk_view>(event);
          payload = zmq::message_t(view.data, static_cast<std::size_t>(view.size));
          break;
        }
        default:
          break;
      }
      out.frames.push_back(remote::to_message(remote::encode(remote::ServerMessage{std::move(data)})));
      if (event.index() == event_kind::owned_chunk || event.index() == event_kind::chunk_view) {
        out.frames.push_back(std::move(payload));
      }
      link.in_flight_messages.fetch_add(1, std::memory_order_acq_rel);
      link.in_flight_bytes.fetch_add(static_cast<std::int64_t>(size), std::memory_order_acq_rel);
      link.outlet.send(std::move(out));
    } catch (...) {
      // Out of memory: this event is lost, and its number with it.
      link.dropped.fetch_add(1, std::memory_order_relaxed);
    }
    event = StreamEvent{};
  }

 private:
  static std::uint64_t payload_size(const StreamEvent& event) noexcept {
    if (const auto* chunk = std::get_if<event_kind::owned_chunk>(&event)) {
      return chunk->size;
    }
    if (const auto* view = std::get_if<event_kind::chunk_view>(&event)) {
      return view->size;
    }
    return 0;
  }

  std::shared_ptr<StreamLink> link_;
  remote::ChunkSender chunks_;
  std::uint64_t next_seq_ = 0;  // producer thread only
};

const StreamCallbackOps kSinkOps = {
    [](void* state, StreamEvent& event) { static_cast<StreamSink*>(state)->push(event); },
    [](void* state) { delete static_cast<StreamSink*>(state); },
};

}  // namespace

void StreamLink::credit(std::uint32_t messages, std::uint64_t bytes) noexcept {
  auto take = [](std::atomic<std::int64_t>& counter, std::uint64_t amount) {
    for (std::int64_t now = counter.load(std::memory_order_acquire);;) {
      const std::int64_t left = amount >= static_cast<std::uint64_t>(now) ? 0 : now - static_cast<std::int64_t>(amount);
      if (counter.compare_exchange_weak(now, left, std::memory_order_acq_rel)) {
        return;
      }
    }
  };
  take(in_flight_messages, messages);
  take(in_flight_bytes, bytes);
}

StreamCallback make_stream_sink(std::shared_ptr<StreamLink> link, std::shared_ptr<void> keep_alive) {
  auto sink = std::make_unique<StreamSink>(std::move(link), std::move(keep_alive));
  return StreamCallback(&kSinkOps, sink.release());
}

}  // namespace vorn::server
