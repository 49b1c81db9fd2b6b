#include "probe_log.hpp"

#include <mutex>
#include <string>

namespace {

std::mutex log_mutex;
std::string log_text;
std::string log_copy;

}  // namespace

void vorn_probe_record(const char* event) {
  std::lock_guard lock(log_mutex);
  if (!log_text.empty()) {
    log_text += ',';
  }
  log_text += event;
}

const char* vorn_probe_events() {
  std::lock_guard lock(log_mutex);
  log_copy = log_text;
  return log_copy.c_str();
}

void vorn_probe_clear() {
  std::lock_guard lock(log_mutex);
  log_text.clear();
}
