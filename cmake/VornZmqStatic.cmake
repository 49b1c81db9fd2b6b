# vorn::zmq linked in: the static, position-independent libzmq (CURVE through
# libsodium; no PGM, NORM, VMCI or GSSAPI) and libsodium that
# scripts/zmq_static.sh builds from Debian's sources into
# VORN_ZMQ_STATIC_PREFIX, plus the cppzmq headers. A plug-in or program that
# links it and vorn_self_contained() needs nothing beyond glibc at run time.
# A drop-in for the shared vorn::zmq of VornZmq.cmake: include this one
# instead (or first, since it defines the same target). Sets VORN_HAVE_ZMQ.
set(VORN_ZMQ_STATIC_PREFIX "${PROJECT_SOURCE_DIR}/build-deps/zmq" CACHE PATH
  "Where scripts/zmq_static.sh installed the static libzmq and libsodium")
find_path(VORN_CPPZMQ_INCLUDE_DIR zmq.hpp)
if(NOT EXISTS "${VORN_ZMQ_STATIC_PREFIX}/lib/libzmq.a" OR NOT EXISTS "${VORN_ZMQ_STATIC_PREFIX}/lib/libsodium.a")
  message(FATAL_ERROR "No static ZeroMQ in ${VORN_ZMQ_STATIC_PREFIX}: run scripts/zmq_static.sh "
                      "${VORN_ZMQ_STATIC_PREFIX} first")
endif()
if(NOT VORN_CPPZMQ_INCLUDE_DIR)
  message(FATAL_ERROR "cppzmq not found (Debian: cppzmq-dev)")
endif()
add_library(vorn_zmq_sodium STATIC IMPORTED)
set_target_properties(vorn_zmq_sodium PROPERTIES IMPORTED_LOCATION "${VORN_ZMQ_STATIC_PREFIX}/lib/libsodium.a")
add_library(vorn_zmq_lib STATIC IMPORTED)
set_target_properties(vorn_zmq_lib PROPERTIES
  IMPORTED_LOCATION "${VORN_ZMQ_STATIC_PREFIX}/lib/libzmq.a"
  INTERFACE_COMPILE_DEFINITIONS ZMQ_STATIC
  INTERFACE_LINK_LIBRARIES "vorn_zmq_sodium;Threads::Threads")
add_library(vorn_zmq INTERFACE)
add_library(vorn::zmq ALIAS vorn_zmq)
target_link_libraries(vorn_zmq INTERFACE vorn_zmq_lib)
# The prefix's zmq.h first, so that cppzmq builds against the linked libzmq.
target_include_directories(vorn_zmq SYSTEM BEFORE INTERFACE "${VORN_ZMQ_STATIC_PREFIX}/include"
                                                            "${VORN_CPPZMQ_INCLUDE_DIR}")
set(VORN_HAVE_ZMQ ON)
