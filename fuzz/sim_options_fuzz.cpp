// libFuzzer target: the simulator's device-selection text.
//
// Any text either parses or is refused with an exception derived from
// std::exception that says why; nothing else may happen (a crash, another
// exception, a sanitizer report). A text that parses round-trips: rendering
// its settings gives a text that parses to the same settings and renders the
// same again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "sim_options.hpp"

namespace {

[[noreturn]] void fail(const char* what, std::string_view text, const std::string& detail) {
  std::fprintf(stderr, "%s\n  input:    '%.*s'\n  %s\n", what, static_cast<int>(text.size()), text.data(),
               detail.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vorn::sim::DeviceSettings settings;
  try {
    settings = vorn::sim::parse_device_text(text);
  } catch (const std::exception& refused) {
    if (std::string_view(refused.what()).empty()) {
      fail("refused without a message", text, "");
    }
    return 0;
  }

  const std::string rendered = vorn::sim::format_device_text(settings);
  vorn::sim::DeviceSettings again;
  try {
    again = vorn::sim::parse_device_text(rendered);
  } catch (const std::exception& refused) {
    fail("the rendered text is refused", text, "rendered: '" + rendered + "'\n  error:    " + refused.what());
  }
  if (!(again == settings)) {
    fail("the rendered text parses to other settings", text,
         "rendered: '" + rendered + "'\n  again:    '" + vorn::sim::format_device_text(again) + "'");
  }
  if (vorn::sim::format_device_text(again) != rendered) {
    fail("rendering is not stable", text, "rendered: '" + rendered + "'");
  }
  return 0;
}
