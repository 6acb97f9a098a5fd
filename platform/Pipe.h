#pragma once

#include "platform/Handle.h"

#include <cstddef>

namespace platform {

// An anonymous pipe whose two ends this process keeps (not inherited by children).
bool createPipe(NativeHandle& readEnd, NativeHandle& writeEnd);

// Writes all bytes; false on a failed write.
bool writeAll(NativeHandle handle, const void* data, std::size_t size);

} // namespace platform
