// The texts that describe the devices and their options to users.
#include <string>

#include "register_bank.hpp"
#include "sim_options.hpp"

namespace vorn::sim {

std::string device_list_text() {
  std::string text;
  for (std::string_view name : kDeviceNames) {
    text += text.empty() ? "" : "\n";
    text += name;
    text += ": simulated data-acquisition device";
  }
  return text;
}

std::string device_options_text() {
  return R"(Device text: a device name, then optional options as key=value,
separated by spaces or commas. Example: "sim0 chunk_size=1M rate=100M length=16M".
An empty text selects sim0 with every default.

Devices: sim0, sim1, sim2, sim3 (all alike; each create_device call makes a new,
independent device with its own registers and memory).

Numbers: decimal digits, optionally followed by K, M or G (times 1024, 1024^2,
1024^3), or hexadecimal digits after 0x. A text value may be quoted with '...'
or "..." to hold spaces or commas.

Options (default in brackets):
  chunks=owned|view  kind of chunk delivered by streams started at address 0 [owned]
                     owned: owning chunks (ManagedBuffer) from a recycled pool
                     view:  chunk views (DataView) of one buffer, overwritten
                            after each delivery
  chunk_size=N       bytes per chunk when start_read_stream gets chunk_size 0,
                     1 to 256M [64K]
  rate=N             stream throttle in bytes per second; 0 = unlimited [0]
  chunk_rate=N       stream throttle in chunks per second; 0 = unlimited [0]
  length=N           stream length in bytes, then the end marker (the last chunk
                     may be short); 0 = endless [0]
  error_every=N      deliver an error text after every N-th chunk; 0 = never [0]
  error_text=TEXT    the text of those errors ['simulated error']
  memory=N           device memory for write/read in bytes, 0 to 4G [16M]
  registers=N        number of registers, 8 to 1M [256]

Streams: start_read_stream address 0 = the chunks= option, 1 = owned chunks,
2 = chunk views. Stream bytes are little-endian 64-bit counters 0, 1, 2, ...
(the k-th 8 bytes hold k), continued exactly across chunks.

Registers (addresses are register indices):
  )" + describe_fixed_registers("\n  ") +
         R"(
  all others plain read/write; trigger sets the three trigger registers
Memory: write/read address the memory by byte offset; transfers stop at its end.)";
}

}  // namespace vorn::sim
