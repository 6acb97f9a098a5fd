#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace companion_sim {

// What one poll of the command file saw: its bytes (nothing when it is missing) and a stamp of its
// last modification (any value that changes when the file is written; 0 when unknown).
struct CommandFileSnapshot {
    std::optional<std::string> content;
    std::int64_t stamp = 0;
};

// Turns successive polls of the command file into the commands written since the last poll.
// The plug-in empties the file and appends the newest command, so the file holds at most one line;
// between two polls it may have been emptied, rewritten, rewritten with the same line, or appended
// to by two writers. Lines already acted on are not repeated; a rewrite with the same text (seen as a
// new stamp) is a new command. A last line without its line feed is taken only once it has stayed the
// same for two polls, so a write caught halfway is never read as a shorter command.
class CommandFileTracker {
public:
    std::vector<std::string> observe(const CommandFileSnapshot& snapshot);

private:
    std::string consumed_;    // the leading bytes of the file already acted on
    std::int64_t stamp_ = 0;  // the stamp when consumed_ was last extended or reset
    std::string pendingTail_; // an unterminated last line seen at the previous poll
    bool seenOnce_ = false;
};

// A line as a command: CR and surrounding blanks removed.
std::string commandFromLine(const std::string& line);

} // namespace companion_sim
