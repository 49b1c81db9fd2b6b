# What the objects that ship (the extension module and the plug-ins of the
# wheel) need at run time: glibc and nothing else. spdlog and fmt come
# header-only (VornLogging.cmake); the C++ library is linked in:
#
#   vorn_self_contained(<target>...)
#       links libstdc++ statically and keeps its symbols (and those of every
#       other static library) out of the target's dynamic symbol table, so
#       the target binds only to its own copy, whatever else the process has
#       loaded
#
# The unwinder stays shared (libgcc_s.so.1): exceptions cross between the
# module and the plug-ins, and an exception thrown through one copy of the
# unwinder and caught behind another aborts, so a process needs exactly one.
# glibc itself loads libgcc_s.so.1 (thread cancellation) and every glibc
# system has it (Debian's libc6 depends on libgcc-s1).
#
# VORN_STATIC_RUNTIME=OFF links the C++ runtime dynamically: the sanitizer
# builds need that, since their runtimes replace operator new and the
# exception entry points, and a private copy would bypass them.
option(VORN_STATIC_RUNTIME "Link libstdc++ statically into the module and the shipped plug-ins" ON)

function(vorn_self_contained)
  if(NOT VORN_STATIC_RUNTIME OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux" OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    return()
  endif()
  foreach(_target IN LISTS ARGN)
    target_link_options(${_target} PRIVATE -static-libstdc++ LINKER:--exclude-libs,ALL)
  endforeach()
endfunction()
