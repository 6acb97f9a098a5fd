#include "tools/ferrox-host/SessionOutput.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <utility>

namespace ferrox_host {

namespace {
template <typename T> nlohmann::json optionalJson(const std::optional<T>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

std::string fidelityText(const nlohmann::json& counts) {
    std::ostringstream out;
    out << counts.at("blocks") << " blocks, " << counts.at("repeated") << " repeated, "
        << counts.at("skipped") << " skipped, " << counts.at("slips") << " slips";
    for (const auto& [key, label] : {std::pair<const char*, const char*>{"going_back", "going back"},
                                     std::pair<const char*, const char*>{"restarts", "restarts"}}) {
        if (counts.at(key) != 0) {
            out << ", " << counts.at(key) << ' ' << label;
        }
    }
    return out.str();
}

std::string formatFloat(float value) {
    // Nine significant digits bring every float back exactly.
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    return text;
}
} // namespace

nlohmann::json summaryJson(const SessionResult& result) {
    using nlohmann::json;
    json summary = json::object();
    summary["version"] = result.version ? json(*result.version) : json(nullptr);
    summary["enumerate_result"] = optionalJson(result.enumerateResult);
    summary["factories"] = result.factories;
    summary["factory_names"] = result.factoryNames;

    if (result.device) {
        const DeviceInfo& device = *result.device;
        json channels = json::array();
        for (const ChannelInfo& channel : device.channels) {
            channels.push_back({{"name", channel.name},
                                {"analog_name", optionalJson(channel.analogName)},
                                {"enabled", channel.enabled}});
        }
        summary["device"] = {{"name", device.name},
                             {"display_name", device.displayName},
                             {"model", device.model},
                             {"serial", device.serial},
                             {"rate", optionalJson(device.rate)},
                             {"mocap_rate_multiple", optionalJson(device.mocapRateMultiple)},
                             {"channels", channels}};
    } else {
        summary["device"] = nullptr;
    }

    summary["stream_accepted"] = result.streamAccepted;
    summary["connect_attempts"] = result.connectAttempts;
    summary["status_texts"] = result.statusTexts;
    json log = json::array();
    for (const AnalogSystem::LogEntry& entry : result.log) {
        log.push_back({{"level", entry.level}, {"text", entry.text}});
    }
    summary["log"] = log;

    const CaptureResult& capture = result.capture;
    json captureJson = ferrox_tools::figuresJson(capture);
    captureJson["ran"] = capture.ran;
    captureJson["columns"] = capture.columns;
    json changes = json::array();
    for (const auto& [at, count] : capture.reconnectChanges) {
        changes.push_back({{"end_seen_at_seconds", at}, {"app_run_mode_changes", count}});
    }
    captureJson["reconnect"] = {{"stream_ends", capture.streamEnds},
                                {"reconnects", capture.reconnects},
                                {"attempts", capture.reconnectAttempts},
                                {"seconds", capture.reconnectSeconds},
                                {"taken_by_device", capture.takenByDevice},
                                {"still_waiting", capture.reconnecting},
                                {"each", changes}};
    summary["capture"] = captureJson;

    summary["unload"] = {{"result", optionalJson(result.unloadResult)},
                         {"identifier", optionalJson(result.unloadIdentifier)}};
    summary["errors"] = result.errors;
    summary["exit_code"] = result.exitCode;
    return summary;
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') {
            quoted += '"';
        }
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

void writeCsv(const CaptureResult& capture, std::ostream& out) {
    out << "frame";
    for (const std::string& column : capture.columns) {
        out << ',' << csvField(column);
    }
    out << '\n';
    for (const ferrox_tools::FrameRow& row : capture.rows) {
        out << row.id;
        for (float value : row.values) {
            out << ',' << formatFloat(value);
        }
        out << '\n';
    }
}

std::string consoleSummary(const SessionResult& result) {
    std::ostringstream out;
    out.setf(std::ios::fixed);
    out.precision(1);
    if (result.version) {
        out << "plug-in version " << (*result.version)[0] << '.' << (*result.version)[1] << '.'
            << (*result.version)[2] << '\n';
    }
    if (result.enumerateResult) {
        out << "enumeration: result " << *result.enumerateResult << ", " << result.factories << " factor"
            << (result.factories == 1 ? "y" : "ies");
        if (!result.factoryNames.empty()) {
            out << " (" << result.factoryNames.front() << ')';
        }
        out << '\n';
    }
    if (result.device) {
        const DeviceInfo& device = *result.device;
        out << "device: " << device.name << ", model \"" << device.model << "\", serial " << device.serial;
        if (device.rate) {
            out << ", " << *device.rate << " Hz";
        }
        out << ", " << device.channels.size() << " channels\n";
        for (std::size_t i = 0; i < device.channels.size(); ++i) {
            const ChannelInfo& channel = device.channels[i];
            out << "  " << i << ' ' << (channel.enabled ? "[on]  " : "[off] ") << channel.name;
            if (channel.analogName) {
                out << "  -> " << *channel.analogName;
            }
            out << '\n';
        }
    }
    if (result.capture.ran) {
        const CaptureResult& capture = result.capture;
        out << "capture: " << capture.frames << " frames in " << capture.seconds << " s, "
            << capture.framesPerSecond << " frames/s, " << capture.missingFrames << " missing\n";
        const auto fidelity = capture.timing.find("fidelity");
        if (fidelity != capture.timing.end() && fidelity->is_object()) {
            out << "fidelity: " << fidelityText(*fidelity);
            const nlohmann::json& settled = fidelity->at("after_first_second");
            if (settled.is_object()) {
                out << " (after the first second: " << fidelityText(settled) << ')';
            }
            out << '\n';
        }
        if (capture.zeroFrames > 0 || capture.streamEnds > 0) {
            out << "stream: " << capture.zeroFrames << " zero frames in " << capture.zeroGaps.count
                << " gaps (longest " << capture.zeroGaps.longest << "), " << capture.streamEnds << " ends, "
                << capture.reconnects << " reconnects\n";
        }
    }
    out << "status texts:";
    for (const std::string& text : result.statusTexts) {
        out << " \"" << text << '"';
    }
    out << '\n';
    if (result.unloadResult) {
        out << "unload: result " << *result.unloadResult << ", identifier \""
            << result.unloadIdentifier.value_or("") << "\"\n";
    }
    for (const std::string& error : result.errors) {
        out << "error: " << error << '\n';
    }
    return out.str();
}

bool writeTextFile(const std::string& path, const std::string& text, std::string& error) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        error = "cannot open " + path + " for writing";
        return false;
    }
    file << text;
    file.close();
    if (!file) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

} // namespace ferrox_host
