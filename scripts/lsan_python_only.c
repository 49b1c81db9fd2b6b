/* Preloaded beside libasan by scripts/asan.sh into every process the Python
 * tests start. LeakSanitizer asks this hook at exit whether to skip its leak
 * check: it checks Python interpreters (the only processes that load the
 * module or the plug-ins) and skips the tools the tests run (cmake, the
 * compiler, make, the shell of pyenv's shims), whose leaks are not ours.
 * It also skips processes forked from a Python interpreter: a forked child
 * leaves alone what its parent's threads were using (their streams, the
 * chunks in flight), by design, and only those threads could have freed it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stddef.h>

static int forked_child = 0;

static void note_fork_in_child(void) { forked_child = 1; }

__attribute__((constructor)) static void watch_forks(void) { pthread_atfork(NULL, NULL, &note_fork_in_child); }

int __lsan_is_turned_off(void) { return forked_child || dlsym(RTLD_DEFAULT, "Py_IsInitialized") == NULL; }
