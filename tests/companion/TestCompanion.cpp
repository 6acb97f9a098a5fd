// A stand-in for the companion, so tests can see how it was started: it reports its arguments on
// standard output, one line on standard error, and echoes each line it reads on standard input, every
// message ended by NUL as the real companion ends them. It ends when its standard input closes.
// Steered by the environment, because the launcher fixes its command line:
//   FERROX_TEST_COMPANION_EXIT=<n>   exit with n right after reporting the arguments
//   FERROX_TEST_COMPANION_WAIT=1     wait until killed instead of reading standard input
//   FERROX_TEST_COMPANION_OUT=<path> write the standard-output messages into that file instead
//   FERROX_TEST_COMPANION_EMIT=<path> only write that file's bytes to the console as they are, and exit
#include "platform/Environment.h"
#include "platform/Pipe.h"
#include "platform/PipeReader.h"
#include "platform/Sleep.h"
#include "platform/StandardStreams.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::ofstream outFile;

void say(const std::string& text, platform::NativeHandle stream = platform::standardOutput()) {
    const std::string message = text + '\0';
    if (outFile.is_open() && stream == platform::standardOutput()) {
        outFile << message << std::flush;
    } else {
        platform::writeAll(stream, message.data(), message.size());
    }
}

} // namespace

int main(int argc, char** argv) {
    if (const auto emitPath = platform::getEnv("FERROX_TEST_COMPANION_EMIT")) {
        std::ostringstream bytes;
        bytes << std::ifstream(*emitPath, std::ios::binary).rdbuf();
        const std::string all = bytes.str();
        return platform::writeAll(platform::standardOutput(), all.data(), all.size()) ? 0 : 1;
    }
    if (const auto path = platform::getEnv("FERROX_TEST_COMPANION_OUT")) {
        outFile.open(*path, std::ios::binary | std::ios::app);
    }
    say("companion argc=" + std::to_string(argc - 1));
    for (int i = 0; i < argc; ++i) {
        say("companion arg" + std::to_string(i) + "=" + argv[i]);
    }
    say("companion stderr", platform::standardError());

    if (const auto code = platform::getEnv("FERROX_TEST_COMPANION_EXIT")) {
        return static_cast<int>(std::strtol(code->c_str(), nullptr, 10));
    }
    while (platform::getEnv("FERROX_TEST_COMPANION_WAIT").value_or("") == "1") {
        platform::sleepFor(std::chrono::seconds(1));
    }

    // Raw bytes, NULs included: the runtime's text mode would change what the test wrote.
    platform::PipeReader reader;
    std::string pending;
    char buffer[256];
    std::size_t got = 0;
    while (reader.read(platform::standardInput(), buffer, sizeof buffer, got) ==
           platform::PipeReader::Status::Data) {
        pending.append(buffer, got);
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            say("companion stdin: " + pending.substr(0, end));
            pending.erase(0, end + 1);
        }
    }
    if (!pending.empty()) {
        say("companion stdin: " + pending);
    }
    say("companion stdin closed");
    return 0;
}
