#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace QuillmarkPluginDevices {

// Turns the companion's console bytes into prefixed text lines. A NUL ends a line; printable ASCII
// (space to tilde) is kept; every other byte is dropped. A line that never ends is handed on once it
// reaches the bound, so memory stays flat whatever the companion writes.
class RelayLineAssembler {
public:
    static constexpr const char* kPrefix = "[Quillmark Ferrox Plugin]: ";
    static constexpr std::size_t kMaxLineCharacters = 4096;

    using LineSink = std::function<void(const std::string& line)>;

    explicit RelayLineAssembler(LineSink sink);

    void feed(const char* bytes, std::size_t count);

    // The line being assembled: the prefix and the characters since the last line ended.
    const std::string& currentLine() const { return line_; }

private:
    void finishLine();

    LineSink sink_;
    std::string line_;
};

} // namespace QuillmarkPluginDevices
