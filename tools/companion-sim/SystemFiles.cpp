#include "SystemFiles.h"

#include "platform/Sleep.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace companion_sim {

namespace {
constexpr int kRenameAttempts = 25;
constexpr auto kRenameRetryPause = std::chrono::milliseconds(20);

// The same narrow path text the plug-in opens its files with.
fs::path pathOf(const std::string& text) {
    return fs::path(text);
}

bool writeAll(const fs::path& path, const std::string& content, bool binary) {
    std::ofstream out(path, binary ? std::ios::binary | std::ios::trunc : std::ios::trunc);
    if (!out) {
        return false;
    }
    out << content;
    out.close();
    return !out.fail();
}
} // namespace

std::string composeReport(const Settings& settings) {
    std::ostringstream out;
    out << "Pellions detected: " << settings.stations << "\n";
    out << "Hardware Name: " << settings.hardwareName << "\n";
    out << "Base Station ID: " << settings.deviceId << "\n";
    const auto ids = settings.sensorIds();
    for (std::size_t slot = 0; slot < ids.size(); ++slot) {
        out << "Slot " << slot + 1 << " occupied by sensor " << ids[slot] << "\n";
    }
    return out.str();
}

std::vector<std::string> channelNamesFor(int slot) {
    const std::string n = std::to_string(slot);
    return {"EMG " + n, "ACC X " + n, "ACC Y " + n, "ACC Z " + n};
}

std::string composeStateFile(const Settings& settings) {
    nlohmann::ordered_json sensors = nlohmann::ordered_json::array();
    const auto ids = settings.sensorIds();
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const int slot = static_cast<int>(i) + 1;
        sensors.push_back({{"Version", 1},
                           {"SensorId", ids[i]},
                           {"SensorName", "Sensor " + std::to_string(ids[i])},
                           {"ChannelNames", channelNamesFor(slot)},
                           {"StickerNumber", slot},
                           {"SlotNumber", slot},
                           {"ModeNumber", 1},
                           {"IsDio0Enabled", false},
                           {"IsDio1Enabled", false},
                           {"IsDio6Enabled", false},
                           {"IsQuarantined", false},
                           {"SegmentNumber", 0},
                           {"IndexNumber", static_cast<int>(i)}});
    }
    nlohmann::ordered_json document = {{"Sensors", sensors}};
    return document.dump(2) + "\n";
}

bool writeFileAtomically(const std::string& pathText, const std::string& content, std::string& error) {
    const fs::path path = pathOf(pathText);
    std::error_code ec;
    if (path.has_parent_path()) {
        fs::create_directories(path.parent_path(), ec);
    }
    fs::path temporary = path;
    temporary += ".writing";
    // Text mode: the report is a text file of this system, with its own line ends.
    if (!writeAll(temporary, content, false)) {
        error = "cannot write " + temporary.string();
        return false;
    }
    for (int attempt = 0; attempt < kRenameAttempts; ++attempt) {
        fs::rename(temporary, path, ec);
        if (!ec) {
            return true;
        }
        platform::sleepFor(kRenameRetryPause);
    }
    fs::remove(temporary, ec);
    // Then the whole text in place: the report and the state file are far smaller than the stream's
    // buffer, so they leave in one write, and a reader sees the file empty (not ready) or complete.
    if (writeAll(path, content, false)) {
        return true;
    }
    error = "cannot write " + pathText;
    return false;
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(pathOf(path), ec);
}

std::optional<std::string> readWholeFile(const std::string& path) {
    std::ifstream in(pathOf(path), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::int64_t modificationStamp(const std::string& path) {
    std::error_code ec;
    const auto time = fs::last_write_time(pathOf(path), ec);
    if (ec) {
        return 0;
    }
    const auto size = fs::file_size(pathOf(path), ec);
    // The size joins the time, so that a coarse clock still tells most rewrites apart. Unsigned
    // arithmetic: the mix may wrap, which is harmless for a stamp that is only compared.
    const auto ticks = static_cast<std::uint64_t>(time.time_since_epoch().count());
    return static_cast<std::int64_t>(ticks * 31u + static_cast<std::uint64_t>(ec ? 0 : size));
}

} // namespace companion_sim
