# _version.py is written by the build (python/CMakeLists.txt) with the
# version of CMakeLists.txt's project().
__version__: str
