# vorn_add_plugin(<name> <sources>...)
#
# Builds a device-manager plug-in: a loadable module that exports only
# create_manager, finds its own dependencies beside itself ($ORIGIN) and fails
# at link time, not at load time, on a missing symbol. Available in this
# project and, after find_package(vorn), to plug-ins built out of tree.
function(vorn_add_plugin name)
  if(ARGC LESS 2)
    message(FATAL_ERROR "vorn_add_plugin(${name}) needs at least one source file")
  endif()
  if(NOT TARGET vorn::sdk)
    message(FATAL_ERROR "vorn_add_plugin(${name}): target vorn::sdk not found; call find_package(vorn) first")
  endif()
  add_library(${name} MODULE ${ARGN})
  target_link_libraries(${name} PRIVATE vorn::sdk)
  target_compile_features(${name} PRIVATE cxx_std_20)
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    POSITION_INDEPENDENT_CODE ON
    BUILD_RPATH "$ORIGIN"
    INSTALL_RPATH "$ORIGIN")
  # g++ marks some inline statics STB_GNU_UNIQUE, which pins the library in
  # memory for good; plug-ins must unload when their last object goes.
  target_compile_options(${name} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()
