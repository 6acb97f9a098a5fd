#pragma once

#include "tools/ferrox-host/HostSession.h"

#include <nlohmann/json.hpp>

#include <ostream>
#include <string>

namespace ferrox_host {

// The session as one JSON object (the fields scripts read: version, enumerate_result, factories,
// device, status_texts, log, capture, unload, errors; further fields may be added, never changed).
nlohmann::json summaryJson(const SessionResult& result);

// One row per delivered frame in frame-ID order: "frame", then each active channel's name.
void writeCsv(const CaptureResult& capture, std::ostream& out);

// A CSV field, quoted when it holds a comma, a quote or a line break.
std::string csvField(const std::string& text);

// The short human summary printed at the end of a session.
std::string consoleSummary(const SessionResult& result);

// Writes text to a file; false with the reason when it cannot be written.
bool writeTextFile(const std::string& path, const std::string& text, std::string& error);

} // namespace ferrox_host
