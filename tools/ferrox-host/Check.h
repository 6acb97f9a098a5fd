#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace ferrox_host {

// ferrox-host --check: what a lab engineer runs before a session to learn whether this computer is set
// up for the plug-in. It captures nothing, starts no companion and ends no process, and it reads and writes
// no file of the companion's (it reads the state file and the configuration report, and writes one probe file
// of its own in the command folder, which it removes again).
enum class CheckLevel { Ok, Warn, Fail };

struct CheckItem {
    CheckLevel level = CheckLevel::Ok;
    std::string subject; // what was checked: "PROGRAMFILES", "companion", "state file", ...
    std::string finding; // what was found
    std::string action;  // what to do about it: every WARN and FAIL has one
};

// The items in this order: the three environment variables, the companion at its path, whether a
// companion is already running, the command folder, the state file, the configuration report, the
// stream port, the plug-in at `pluginPath`.
std::vector<CheckItem> runCheck(const std::string& pluginPath);

// "OK    subject: finding", or "WARN  subject: finding. To do: action" (FAIL alike).
std::string checkLine(const CheckItem& item);

// "check: N OK, N WARN, N FAIL"
std::string checkSummary(const std::vector<CheckItem>& items);

// 0 when no item FAILs, else kExitCheckFailed.
constexpr int kExitCheckFailed = 6;
int checkExitCode(const std::vector<CheckItem>& items);

// For --summary: {"items": [{"level", "subject", "finding", "action", "line"}, ...], "ok", "warn",
// "fail", "exit_code"}, each line as printed.
nlohmann::json checkJson(const std::vector<CheckItem>& items);

} // namespace ferrox_host
