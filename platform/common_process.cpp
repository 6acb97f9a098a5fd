#include "platform/Process.h"

namespace platform {

std::string quotedCommandLine(const std::string& executable, const std::string& argument) {
    return "\"" + executable + "\" \"" + argument + "\"";
}

} // namespace platform
