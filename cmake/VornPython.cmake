# Locates the CPython 3.12 interpreter and its headers.
#
# Order: the PYTHON variable (cache or environment), python3.12 on PATH, then
# the pyenv versions folder. Anything but 3.12 is refused with a clear message.
set(_vorn_py_candidates "")
if(DEFINED PYTHON AND NOT PYTHON STREQUAL "")
  list(APPEND _vorn_py_candidates "${PYTHON}")
elseif(DEFINED ENV{PYTHON} AND NOT "$ENV{PYTHON}" STREQUAL "")
  list(APPEND _vorn_py_candidates "$ENV{PYTHON}")
else()
  find_program(_vorn_py_on_path NAMES python3.12 NO_CACHE)
  if(_vorn_py_on_path)
    list(APPEND _vorn_py_candidates "${_vorn_py_on_path}")
  endif()
  set(_vorn_pyenv_root "$ENV{PYENV_ROOT}")
  if(_vorn_pyenv_root STREQUAL "")
    set(_vorn_pyenv_root "$ENV{HOME}/.pyenv")
  endif()
  file(GLOB _vorn_pyenv_pythons "${_vorn_pyenv_root}/versions/3.12*/bin/python3.12")
  list(SORT _vorn_pyenv_pythons COMPARE NATURAL ORDER DESCENDING)
  list(APPEND _vorn_py_candidates ${_vorn_pyenv_pythons})
endif()

set(_vorn_python "")
foreach(_candidate IN LISTS _vorn_py_candidates)
  # pyenv shims answer for versions that are not installed; ask the program itself.
  execute_process(
    COMMAND "${_candidate}" -c "import sys; print('%d.%d' % sys.version_info[:2]); print(sys.executable)"
    OUTPUT_VARIABLE _vorn_py_out
    RESULT_VARIABLE _vorn_py_rc
    ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(_vorn_py_rc EQUAL 0)
    string(REPLACE "\n" ";" _vorn_py_out "${_vorn_py_out}")
    list(GET _vorn_py_out 0 _vorn_py_version)
    list(GET _vorn_py_out 1 _vorn_py_exe)
    if(_vorn_py_version STREQUAL "3.12")
      set(_vorn_python "${_vorn_py_exe}")
      break()
    endif()
    message(STATUS "Skipping ${_candidate}: it is Python ${_vorn_py_version}, not 3.12")
  endif()
endforeach()

if(_vorn_python STREQUAL "")
  message(FATAL_ERROR
    "pyvorn_device needs CPython 3.12 and found none. Tried: [${_vorn_py_candidates}]. "
    "Install Python 3.12 or pass its interpreter with -DPYTHON=/path/to/python3.12 "
    "(or the PYTHON environment variable).")
endif()

set(Python_EXECUTABLE "${_vorn_python}" CACHE FILEPATH "CPython 3.12 interpreter" FORCE)
find_package(Python 3.12 EXACT REQUIRED COMPONENTS Interpreter Development.Module)
message(STATUS "Building for ${Python_EXECUTABLE} (${Python_VERSION})")

# Without an explicit CMAKE_INSTALL_PREFIX, install into the interpreter's own
# prefix, so that `cmake --install` puts the module where it imports from.
execute_process(
  COMMAND "${Python_EXECUTABLE}" -c "import sys; print(sys.prefix)"
  OUTPUT_VARIABLE VORN_PYTHON_PREFIX
  OUTPUT_STRIP_TRAILING_WHITESPACE)
set(VORN_PYTHON_PREFIX_IS_INSTALL_PREFIX OFF)
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "${VORN_PYTHON_PREFIX}" CACHE PATH "Install prefix" FORCE)
  set(VORN_PYTHON_PREFIX_IS_INSTALL_PREFIX ON)
endif()
