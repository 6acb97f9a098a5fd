// The configuration report parser on arbitrary report content, with the invariants any parse must keep.
#include "inventory/ConfigurationReport.h"
#include "tests/fuzz/FuzzScratch.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

using namespace QuillmarkPluginDevices;

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool allDigits(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = ferrox_fuzz::scratchFolder() + "/DeviceConfiguration.txt";
    ferrox_fuzz::writeInput(path, data, size);

    check(waitForConfigurationReport(path, std::chrono::milliseconds(0)) == (size != 0));

    const ConfigurationReport report = readConfigurationReport(path);
    check(report.reportOpened);
    check(allDigits(report.deviceId));
    check(report.stationCount >= 0);
    check(report.hardwareName.find_first_of("\r\n") == std::string::npos);
    check(report.hardwareName.size() <= kLongestReportLine);
    // Occupied slots are only read after the first pass has found both texts.
    check(report.occupiedSensorIds.empty() || (!report.hardwareName.empty() && !report.deviceId.empty()));
    check(std::all_of(report.occupiedSensorIds.begin(), report.occupiedSensorIds.end(),
                      [](int32_t id) { return id >= 0; }));

    const auto identity = readReportIdentity(path);
    check(identity.first == report.hardwareName && identity.second == report.deviceId);

    clearConfigurationReport(path);
    check(!waitForConfigurationReport(path, std::chrono::milliseconds(0)));
    return 0;
}
