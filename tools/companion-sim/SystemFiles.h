#pragma once

#include "Settings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace companion_sim {

// The device configuration report. The plug-in reads it in two passes: the count is seen only up to
// the line that completes hardware name and identifier, occupied slots only after it, so the lines run
// count, name, identifier, slots.
std::string composeReport(const Settings& settings);

// The vendor state file for the simulated sensors: one object per sensor under "Sensors", four
// channel names each in the order of the stream layout.
std::string composeStateFile(const Settings& settings);

// The four channel names of the sensor in slot `slot` (1-based).
std::vector<std::string> channelNamesFor(int slot);

// Writes the whole file so that a reader sees the old content or the new one, never a part: into a
// temporary file beside it, then renamed over it. A rename that keeps failing (Windows refuses to
// replace a file that a reader holds open) is retried for a while and then replaced by one direct
// write of the whole text. Creates missing folders. False with `error` set when nothing worked.
bool writeFileAtomically(const std::string& path, const std::string& content, std::string& error);

bool fileExists(const std::string& path);

// The file's bytes, or nothing when it cannot be opened.
std::optional<std::string> readWholeFile(const std::string& path);

// A stamp that changes whenever the file is written (0 when it cannot be read).
std::int64_t modificationStamp(const std::string& path);

} // namespace companion_sim
