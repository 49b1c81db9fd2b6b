# Installation of the module and of the plug-in SDK.
#
# Components:
#   python  the extension module pyvorn_device, its stubs and the companion
#           package vorn (python/CMakeLists.txt)
#   plugins the simulator, replay and remote plug-ins (plugins/*/CMakeLists.txt)
#   programs vorn-server, into bin/ (programs/vorn-server/CMakeLists.txt)
#   sdk     include/vorn, the vorn::sdk target and the package files that let
#           an out-of-tree plug-in use find_package(vorn) and vorn_add_plugin
#
# VORN_PYTHON_INSTALL_DIR: where the module and its stubs go, relative to the
# prefix. The default prefix is the interpreter's own (see VornPython.cmake),
# and the default folder its site-packages, so a plain `cmake --install`
# makes the module importable; `--prefix <dir>` (or CMAKE_INSTALL_PREFIX)
# gives <dir>/lib/python3.12/site-packages instead.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(NOT DEFINED VORN_PYTHON_INSTALL_DIR)
  set(_vorn_default_pydir "lib/python3.12/site-packages")
  cmake_path(IS_PREFIX VORN_PYTHON_PREFIX "${Python_SITEARCH}" NORMALIZE _vorn_site_in_prefix)
  if(VORN_PYTHON_PREFIX_IS_INSTALL_PREFIX AND _vorn_site_in_prefix)
    file(RELATIVE_PATH _vorn_default_pydir "${VORN_PYTHON_PREFIX}" "${Python_SITEARCH}")
  endif()
  set(VORN_PYTHON_INSTALL_DIR "${_vorn_default_pydir}" CACHE STRING "Where pyvorn_device is installed, relative to the prefix")
endif()
install(TARGETS pyvorn_device LIBRARY DESTINATION "${VORN_PYTHON_INSTALL_DIR}" COMPONENT python)
install(FILES "${PROJECT_SOURCE_DIR}/src/bindings/pyvorn_device.pyi" DESTINATION "${VORN_PYTHON_INSTALL_DIR}" COMPONENT python)

# The SDK. Header-only: plug-ins need no library of the module, and no Boost.
set(VORN_CMAKE_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/vorn" CACHE STRING
  "Where the vorn CMake package files are installed, relative to the prefix")
set_target_properties(vorn_sdk PROPERTIES EXPORT_NAME sdk)
install(TARGETS vorn_sdk EXPORT vornTargets COMPONENT sdk)
install(DIRECTORY "${PROJECT_SOURCE_DIR}/include/vorn"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}"
  COMPONENT sdk
  FILES_MATCHING PATTERN "*.hpp")
install(EXPORT vornTargets
  NAMESPACE vorn::
  DESTINATION "${VORN_CMAKE_INSTALL_DIR}"
  COMPONENT sdk)

configure_package_config_file(
  "${PROJECT_SOURCE_DIR}/cmake/vornConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/cmake/vornConfig.cmake"
  INSTALL_DESTINATION "${VORN_CMAKE_INSTALL_DIR}")
# The plug-in ABI may still change between 0.x minor versions.
write_basic_package_version_file(
  "${PROJECT_BINARY_DIR}/cmake/vornConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}"
  COMPATIBILITY SameMinorVersion
  ARCH_INDEPENDENT)
install(FILES
  "${PROJECT_BINARY_DIR}/cmake/vornConfig.cmake"
  "${PROJECT_BINARY_DIR}/cmake/vornConfigVersion.cmake"
  "${PROJECT_SOURCE_DIR}/cmake/VornPlugin.cmake"
  DESTINATION "${VORN_CMAKE_INSTALL_DIR}"
  COMPONENT sdk)
