#pragma once

#include <sys/types.h>

namespace platform {

// The exit code of a child's wait status as Windows would give it: a normal exit's status, or 128 plus
// the signal that ended it.
int exitCodeOf(int status);

// Waits without a limit for a child of this process to end (retried when a signal interrupts the
// wait) and reaps it; its exit code, or 1 when it could not be waited for.
int reapExitCode(pid_t pid);

} // namespace platform
