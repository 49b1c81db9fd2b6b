// A create_manager that fails. Built once per VORN_TEST_FAILURE:
//   1  throws an exception type of this library, derived from std::runtime_error
//   2  throws an int
//   3  throws an object of this library that is no std::exception
//   4  returns null
#include <stdexcept>
#include <string>

#include "vorn/vorn.hpp"

namespace {

struct PluginError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Needs this library's code to be destroyed.
struct ForeignError {
  virtual ~ForeignError() { detail.clear(); }
  std::string detail = "not a std::exception, and longer than any short-string buffer";
};

}  // namespace

VORN_PLUGIN_EXPORT vorn::DeviceManager* create_manager() {
#if VORN_TEST_FAILURE == 1
  throw PluginError("create_manager refused");
#elif VORN_TEST_FAILURE == 2
  throw 42;
#elif VORN_TEST_FAILURE == 3
  throw ForeignError{};
#elif VORN_TEST_FAILURE == 4
  return nullptr;
#else
#error "VORN_TEST_FAILURE must be 1 to 4"
#endif
}
