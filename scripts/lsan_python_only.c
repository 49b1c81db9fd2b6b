/* Preloaded beside libasan by scripts/asan.sh into every process the Python
 * tests start. LeakSanitizer asks this hook at exit whether to skip its leak
 * check: it checks Python interpreters (the only processes that load the
 * module or the plug-ins) and skips the tools the tests run (cmake, the
 * compiler, make, the shell of pyenv's shims), whose leaks are not ours. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>

int __lsan_is_turned_off(void) { return dlsym(RTLD_DEFAULT, "Py_IsInitialized") == NULL; }
