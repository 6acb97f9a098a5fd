// A stand-in for the companion, so tests can see how it was started: it reports its arguments on
// standard output, one line on standard error, and echoes each line it reads on standard input. It
// ends when its standard input closes. Steered by the environment, because the launcher fixes its
// command line:
//   FERROX_TEST_COMPANION_NUL=1      end every message with NUL instead of LF (as the relay splits them)
//   FERROX_TEST_COMPANION_EXIT=<n>   exit with n right after reporting the arguments
//   FERROX_TEST_COMPANION_WAIT=1     wait until killed instead of reading standard input
//   FERROX_TEST_COMPANION_OUT=<path> write the standard-output messages into that file instead
//   FERROX_TEST_COMPANION_ARGV0=1    report argv[0] too ("companion arg0=<path>"), after argc
//   FERROX_TEST_COMPANION_FLOOD=<n>  write n console bytes (Flood.h, never a NUL), then exit
//   FERROX_TEST_COMPANION_EMIT=<path> then write that file's bytes to the console as they are, and exit
// FLOOD and EMIT replace every other message, so a test knows each byte the console carried.
#include "platform/Environment.h"
#include "platform/Pipe.h"
#include "platform/PipeReader.h"
#include "platform/Sleep.h"
#include "platform/StandardStreams.h"
#include "tests/companion/Flood.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

class Output {
public:
    Output() : terminator_(platform::getEnv("FERROX_TEST_COMPANION_NUL").value_or("") == "1" ? '\0' : '\n') {
        if (auto path = platform::getEnv("FERROX_TEST_COMPANION_OUT")) {
            file_.open(*path, std::ios::binary | std::ios::app);
        }
    }

    void say(const std::string& text) {
        std::string message = text;
        message.push_back(terminator_);
        if (file_.is_open()) {
            file_ << message;
            file_.flush();
        } else {
            platform::writeAll(platform::standardOutput(), message.data(), message.size());
        }
    }

    void complain(const std::string& text) {
        std::string message = text;
        message.push_back(terminator_);
        platform::writeAll(platform::standardError(), message.data(), message.size());
    }

private:
    char terminator_;
    std::ofstream file_;
};

bool flood(std::size_t count) {
    std::vector<char> chunk(std::size_t{64} * 1024);
    for (std::size_t written = 0; written < count;) {
        const std::size_t size = std::min(chunk.size(), count - written);
        for (std::size_t k = 0; k < size; ++k) {
            chunk[k] = ferrox_test::floodByte(written + k);
        }
        if (!platform::writeAll(platform::standardOutput(), chunk.data(), size)) {
            return false;
        }
        written += size;
    }
    return true;
}

bool emit(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    const std::string bytes = content.str();
    return platform::writeAll(platform::standardOutput(), bytes.data(), bytes.size());
}

} // namespace

int main(int argc, char** argv) {
    const auto floodCount = platform::getEnv("FERROX_TEST_COMPANION_FLOOD");
    const auto emitPath = platform::getEnv("FERROX_TEST_COMPANION_EMIT");
    if (floodCount || emitPath) {
        bool ok =
            !floodCount || flood(static_cast<std::size_t>(std::strtoull(floodCount->c_str(), nullptr, 10)));
        ok = ok && (!emitPath || emit(*emitPath));
        return ok ? 0 : 1;
    }

    Output out;
    out.say("companion argc=" + std::to_string(argc - 1));
    if (platform::getEnv("FERROX_TEST_COMPANION_ARGV0").value_or("") == "1") {
        out.say(std::string("companion arg0=") + argv[0]);
    }
    for (int i = 1; i < argc; ++i) {
        out.say("companion arg" + std::to_string(i) + "=" + argv[i]);
    }
    out.complain("companion stderr");

    if (auto code = platform::getEnv("FERROX_TEST_COMPANION_EXIT")) {
        return static_cast<int>(std::strtol(code->c_str(), nullptr, 10));
    }
    if (platform::getEnv("FERROX_TEST_COMPANION_WAIT").value_or("") == "1") {
        for (;;) {
            platform::sleepFor(std::chrono::seconds(1));
        }
    }

    // Raw bytes, NULs included: the runtime's text mode would change what the test wrote.
    platform::PipeReader reader;
    std::string pending;
    char buffer[256];
    for (;;) {
        std::size_t got = 0;
        if (reader.read(platform::standardInput(), buffer, sizeof buffer, got) !=
            platform::PipeReader::Status::Data) {
            break;
        }
        pending.append(buffer, got);
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            out.say("companion stdin: " + pending.substr(0, end));
            pending.erase(0, end + 1);
        }
    }
    if (!pending.empty()) {
        out.say("companion stdin: " + pending);
    }
    out.say("companion stdin closed");
    return 0;
}
