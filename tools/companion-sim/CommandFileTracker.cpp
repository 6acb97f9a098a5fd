#include "CommandFileTracker.h"

namespace companion_sim {

std::string commandFromLine(const std::string& line) {
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::size_t begin = 0;
    std::size_t end = line.size();
    while (begin < end && isBlank(line[begin])) {
        ++begin;
    }
    while (end > begin && isBlank(line[end - 1])) {
        --end;
    }
    return line.substr(begin, end - begin);
}

std::vector<std::string> CommandFileTracker::observe(const CommandFileSnapshot& snapshot) {
    std::vector<std::string> commands;
    if (!snapshot.content || snapshot.content->empty()) {
        consumed_.clear();
        pendingTail_.clear();
        stamp_ = snapshot.stamp;
        seenOnce_ = true;
        return commands;
    }
    const std::string& content = *snapshot.content;
    const bool extendsConsumed = content.compare(0, consumed_.size(), consumed_) == 0;
    // Same bytes with a new stamp: emptied and written again between two polls.
    const bool rewrittenSame = seenOnce_ && content == consumed_ && snapshot.stamp != stamp_;
    if (!extendsConsumed || rewrittenSame) {
        consumed_.clear();
        pendingTail_.clear();
    }
    stamp_ = snapshot.stamp;
    seenOnce_ = true;

    std::size_t pos = consumed_.size();
    for (;;) {
        const std::size_t newline = content.find('\n', pos);
        if (newline == std::string::npos) {
            break;
        }
        const std::string command = commandFromLine(content.substr(pos, newline - pos));
        if (!command.empty()) {
            commands.push_back(command);
        }
        pos = newline + 1;
    }
    consumed_ = content.substr(0, pos);

    const std::string tail = content.substr(pos);
    if (tail.empty()) {
        pendingTail_.clear();
    } else if (tail == pendingTail_) {
        const std::string command = commandFromLine(tail);
        if (!command.empty()) {
            commands.push_back(command);
        }
        consumed_ = content;
        pendingTail_.clear();
    } else {
        pendingTail_ = tail;
    }
    return commands;
}

} // namespace companion_sim
