#include "platform/StandardStreams.h"

#include <unistd.h>

namespace platform {

NativeHandle standardInput() {
    return STDIN_FILENO;
}
NativeHandle standardOutput() {
    return STDOUT_FILENO;
}
NativeHandle standardError() {
    return STDERR_FILENO;
}

} // namespace platform
