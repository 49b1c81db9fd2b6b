#include "outlet.hpp"

namespace vorn::server {

void Outlet::send(remote::Outgoing&& message) {
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    if (deferred_ || !remote::send_parts(router_, message)) {
      deferred_ = true;
      mailbox_.post(std::move(message));  // wakes the I/O thread
      return;
    }
    wake = (router_.get(zmq::sockopt::events) & ZMQ_POLLIN) != 0;
  }
  if (wake) {
    mailbox_.post(remote::Outgoing{});
  }
}

}  // namespace vorn::server
