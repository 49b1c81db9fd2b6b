# vorn::zmq: ZeroMQ (libzmq and the cppzmq headers) for the remote plug-in and
# vorn-server. Everything that uses ZeroMQ links this one target, so how
# ZeroMQ is linked (today the system's shared libzmq, found through
# pkg-config) changes here alone. Sets VORN_HAVE_ZMQ.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(VORN_LIBZMQ QUIET IMPORTED_TARGET libzmq>=4.3)
endif()
find_path(VORN_CPPZMQ_INCLUDE_DIR zmq.hpp)
if(TARGET PkgConfig::VORN_LIBZMQ AND VORN_CPPZMQ_INCLUDE_DIR)
  add_library(vorn_zmq INTERFACE)
  add_library(vorn::zmq ALIAS vorn_zmq)
  target_link_libraries(vorn_zmq INTERFACE PkgConfig::VORN_LIBZMQ)
  target_include_directories(vorn_zmq SYSTEM INTERFACE "${VORN_CPPZMQ_INCLUDE_DIR}")
  set(VORN_HAVE_ZMQ ON)
elseif(CMAKE_CROSSCOMPILING)
  set(VORN_HAVE_ZMQ OFF)
  message(STATUS "Skipping the remote plug-in and vorn-server: no ZeroMQ for the target")
else()
  message(FATAL_ERROR "ZeroMQ not found: the remote plug-in and vorn-server need libzmq 4.3 and cppzmq "
                      "(Debian: libzmq3-dev cppzmq-dev; scripts/bootstrap.sh installs them)")
endif()
