#pragma once

#include "platform/Handle.h"

namespace platform {

// The process's own standard streams as native handles (GetStdHandle on Windows; 0, 1, 2 elsewhere),
// for byte-exact I/O that bypasses the C runtime's text mode. Not owned: never close them.
NativeHandle standardInput();
NativeHandle standardOutput();
NativeHandle standardError();

} // namespace platform
