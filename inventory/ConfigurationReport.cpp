#include "inventory/ConfigurationReport.h"

#include "platform/Sleep.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <istream>
#include <optional>
#include <regex>
#include <stdexcept>

namespace QuillmarkPluginDevices {

namespace {

using platform::SteadyClock;

constexpr auto kPollInterval = std::chrono::milliseconds(100);

// The companion's wording; each pattern is searched anywhere within a line.
constexpr const char* kHardwareNamePattern = R"re(Hardware Name:\s*(.*))re";
constexpr const char* kIdentifierPattern = R"re((\b\w+\s)?ID:\s*(\d+))re";
constexpr const char* kStationCountPattern = R"re(Pellions detected:\s([1-9]+))re";
constexpr const char* kOccupiedSlotPattern = R"re(occupied by sensor\s+(\d+))re";

// Binary mode, so that both platforms split lines the same way and a stray Ctrl-Z does not end the
// report early on Windows; the carriage return of a CR LF pair is dropped by readLine instead.
std::ifstream openReport(const std::string& path) {
    return std::ifstream(path, std::ios::in | std::ios::binary);
}

// One line without its line feed, and without the carriage return that stood before the line feed.
bool readLine(std::istream& in, std::string& line) {
    if (!std::getline(in, line)) {
        return false;
    }
    if (!in.eof() && !line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return true;
}

void reportIgnoredLine(const char* why, const std::string& detail) {
    std::fprintf(stderr, "FerroxEMG: device configuration report: %s %s; line ignored\n", why,
                 detail.c_str());
    std::fflush(stderr);
}

bool searchable(const std::string& line) {
    if (line.size() <= kLongestReportLine) {
        return true;
    }
    reportIgnoredLine("line of", std::to_string(line.size()) + " bytes is too long");
    return false;
}

// A number the report cannot mean (too large for the field) makes its line count as not matching,
// rather than letting the conversion's exception reach the host.
std::optional<int32_t> toInt32(const std::string& digits) {
    try {
        return static_cast<int32_t>(std::stoi(digits));
    } catch (const std::logic_error&) {
        reportIgnoredLine("number", digits + " does not fit a 32-bit integer");
        return std::nullopt;
    }
}

struct IdentityPatterns {
    std::regex hardwareName{kHardwareNamePattern};
    std::regex identifier{kIdentifierPattern};
};

// Reads lines until the hardware name and the identifier are both known (the line that completes them
// is consumed) or the file ends. The station count, when asked for, is taken from every line read here.
void firstPass(std::istream& in, const IdentityPatterns& patterns, const std::regex* stationCount,
               ConfigurationReport& report) {
    std::string line;
    std::smatch match;
    while (readLine(in, line)) {
        if (!searchable(line)) {
            continue;
        }
        if (report.hardwareName.empty() && std::regex_search(line, match, patterns.hardwareName)) {
            report.hardwareName = match[1].str();
        }
        if (report.deviceId.empty() && std::regex_search(line, match, patterns.identifier)) {
            report.deviceId = match[2].str();
        }
        if (stationCount && std::regex_search(line, match, *stationCount)) {
            if (auto count = toInt32(match[1].str())) {
                report.stationCount = *count;
            }
        }
        if (!report.hardwareName.empty() && !report.deviceId.empty()) {
            return;
        }
    }
}

bool reportIsReady(const std::string& path) {
    std::ifstream in = openReport(path);
    return in.is_open() && in.peek() != std::ifstream::traits_type::eof();
}

// The caller's bound as a clock duration: a negative bound means one look, and a bound beyond what the
// clock can express (milliseconds::max() for "no bound") saturates instead of overflowing.
SteadyClock::duration toClockDuration(std::chrono::milliseconds limit) {
    if (limit.count() <= 0) {
        return SteadyClock::duration::zero();
    }
    if (limit >= std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::duration::max())) {
        return SteadyClock::duration::max();
    }
    return std::chrono::duration_cast<SteadyClock::duration>(limit);
}

} // namespace

bool waitForConfigurationReport(const std::string& path, std::chrono::milliseconds limit) {
    const auto deadline = platform::saturatingAdd(SteadyClock::now(), toClockDuration(limit));
    for (;;) {
        if (reportIsReady(path)) {
            return true;
        }
        const auto now = SteadyClock::now();
        if (now >= deadline) {
            return false;
        }
        // The last pause is cut short so that the final look falls on the bound itself.
        platform::sleepFor(std::min<SteadyClock::duration>(kPollInterval, deadline - now));
    }
}

ConfigurationReport readConfigurationReport(const std::string& path) {
    ConfigurationReport report;
    std::ifstream in = openReport(path);
    const IdentityPatterns identity;
    const std::regex stationCount(kStationCountPattern);
    firstPass(in, identity, &stationCount, report);

    const std::regex occupiedSlot(kOccupiedSlotPattern);
    if (!in.is_open()) {
        return ConfigurationReport{};
    }
    std::string line;
    std::smatch match;
    while (readLine(in, line)) {
        if (searchable(line) && std::regex_search(line, match, occupiedSlot)) {
            if (auto sensor = toInt32(match[1].str())) {
                report.occupiedSensorIds.push_back(*sensor);
            }
        }
    }
    report.reportOpened = true;
    return report;
}

std::pair<std::string, std::string> readReportIdentity(const std::string& path) {
    ConfigurationReport report;
    std::ifstream in = openReport(path);
    if (in.is_open()) {
        const IdentityPatterns identity;
        firstPass(in, identity, nullptr, report);
    }
    return {std::move(report.hardwareName), std::move(report.deviceId)};
}

void clearConfigurationReport(const std::string& path) {
    std::ofstream out(path, std::ios::out | std::ios::trunc);
    out.close();
}

} // namespace QuillmarkPluginDevices
