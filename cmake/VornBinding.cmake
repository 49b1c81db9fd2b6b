# Chooses how src/runtime/binding_internals makes and frees the Python
# objects of stream deliveries:
#
#   fast     writes and reads pybind11's instance layout directly; only for the
#            pybind11 versions whose layout was reviewed (listed below; each is
#            also pinned by static_asserts in binding_internals.hpp)
#   generic  pybind11's public conversion (py::cast) and its own deallocation;
#            any other pybind11, or VORN_GENERIC_BINDING=ON
#
# The target vorn::binding_path carries the choice to whatever includes
# binding_internals.hpp (the module, the benchmark helper).
option(VORN_GENERIC_BINDING "Use pybind11's public conversion for stream deliveries on every pybind11 version" OFF)
set(VORN_BINDING_REVIEWED_PYBIND11 2.10 2.11 2.12 2.13)

string(REGEX MATCH "^[0-9]+\\.[0-9]+" _vorn_pybind11_minor "${pybind11_VERSION}")
if(VORN_GENERIC_BINDING)
  set(VORN_BINDING_PATH generic)
  set(_vorn_binding_reason "forced by VORN_GENERIC_BINDING")
elseif(_vorn_pybind11_minor IN_LIST VORN_BINDING_REVIEWED_PYBIND11)
  set(VORN_BINDING_PATH fast)
  set(_vorn_binding_reason "instance layout of pybind11 ${_vorn_pybind11_minor} reviewed")
else()
  set(VORN_BINDING_PATH generic)
  set(_vorn_binding_reason "no reviewed instance layout for pybind11 ${pybind11_VERSION}")
endif()
message(STATUS "Binding path: ${VORN_BINDING_PATH} (pybind11 ${pybind11_VERSION}: ${_vorn_binding_reason})")

add_library(vorn_binding_path INTERFACE)
add_library(vorn::binding_path ALIAS vorn_binding_path)
if(VORN_BINDING_PATH STREQUAL "fast")
  target_compile_definitions(vorn_binding_path INTERFACE VORN_BINDING_FAST_PATH=1)
else()
  target_compile_definitions(vorn_binding_path INTERFACE VORN_BINDING_FAST_PATH=0)
endif()
