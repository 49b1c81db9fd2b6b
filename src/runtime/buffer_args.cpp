#include "runtime/buffer_args.hpp"

#include <cstring>
#include <stdexcept>

namespace pyvorn {

ByteBuffer::ByteBuffer(const pybind11::buffer& object, bool writable) {
  if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
    throw pybind11::error_already_set();
  }
  // From here on the destructor releases the view, so each check may throw.
  struct Release {
    Py_buffer* view;
    bool armed = true;
    ~Release() {
      if (armed) PyBuffer_Release(view);
    }
  } release{&view_};

  if (writable && view_.readonly != 0) {
    throw std::runtime_error("buffer is readonly");
  }
  if (view_.ndim != 1) {
    throw std::runtime_error("ndim != 1");
  }
  if (view_.format == nullptr || std::strcmp(view_.format, "B") != 0) {
    throw std::runtime_error("Unsupported buffer format!");
  }
  if (view_.strides == nullptr || view_.strides[0] != 1) {
    throw std::runtime_error("strides[0] != 1");
  }
  release.armed = false;
}

ByteBuffer::~ByteBuffer() { PyBuffer_Release(&view_); }

}  // namespace pyvorn
