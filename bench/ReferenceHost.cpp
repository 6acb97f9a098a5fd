// Runs the reference loops over a companion's stream with the host model and measures them the way
// ferrox-host measures the plug-in, so the two sets of figures compare directly.
#include "bench/ReferenceDevice.h"
#include "platform/ResourceUsage.h"
#include "tools/common/CaptureMetrics.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <exception>
#include <fstream>
#include <string>
#include <thread>

namespace {
int run(int argc, char** argv) {
    CLI::App app{"reference capture loops, measured like ferrox-host"};
    int port = 35692;
    double seconds = 10.0;
    int channels = 128;
    int stampChannel = -1;
    double connectTimeout = 10.0;
    std::string summaryPath;
    app.add_option("--port", port, "TCP port to listen on (loopback)");
    app.add_option("--seconds", seconds, "capture time");
    app.add_option("--channels", channels, "active channels (descriptors 0..N-1)");
    app.add_option("--stamp-channel", stampChannel, "active channel carrying the send time (ms mod 1000)");
    app.add_option("--connect-timeout", connectTimeout, "seconds to wait for the companion");
    app.add_option("--summary", summaryPath, "JSON output");
    CLI11_PARSE(app, argc, argv);

    ferrox_bench::ReferenceDevice device(static_cast<unsigned short>(port));
    device.SetProperty(AnalogSystem::cPluginDeviceBase::kRatePropName, 1000.0);
    std::vector<std::vector<char>> names;
    names.reserve(static_cast<std::size_t>(channels));
    for (int i = 0; i < channels; ++i) {
        const std::string name = "channel " + std::to_string(i);
        names.emplace_back(name.begin(), name.end());
        names.back().push_back('\0');
        device.AddChannelDescriptor(names.back().data(), 1);
        device.ChannelDescriptor(i)->SetProperty("AnalogChannel_Enabled", true);
    }

    const auto connectDeadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(connectTimeout);
    while (!device.accept()) {
        if (std::chrono::steady_clock::now() > connectDeadline) {
            std::fprintf(stderr, "ferrox-reference-host: no stream within %.1f s\n", connectTimeout);
            return 2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    ferrox_tools::CaptureMetrics metrics(1000.0, stampChannel);
    metrics.reserve(static_cast<std::size_t>(1000.0 * (seconds + 5.0)));
    const auto startUsage = platform::currentResourceUsage();
    const auto start = std::chrono::steady_clock::now();
    device.StartCapture();
    int32_t next = 0;
    int64_t frames = 0;
    std::vector<int32_t> missing;
    std::vector<float> samples;
    const auto end = start + std::chrono::duration<double>(seconds);
    auto nextMemorySample = start;
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const int32_t newest = device.GetMostRecentFrameID();
        for (; next <= newest; ++next) {
            int64_t committed = 0;
            if (device.ReadFrame(next, samples, committed)) {
                metrics.addFrame(next, committed, samples);
                ++frames;
            } else {
                missing.push_back(next);
            }
        }
        if (std::chrono::steady_clock::now() >= nextMemorySample) {
            metrics.addMemorySample(platform::currentResourceUsage().residentBytes);
            nextMemorySample += std::chrono::milliseconds(100);
        }
    }
    device.StopCapture();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto endUsage = platform::currentResourceUsage();

    nlohmann::json summary = metrics.toJson();
    summary["frames"] = frames;
    summary["seconds"] = elapsed;
    summary["frames_per_second"] = static_cast<double>(frames) / elapsed;
    summary["missing_frames"] = missing.size();
    summary["cpu_seconds_per_second"] =
        (endUsage.userSeconds + endUsage.systemSeconds - startUsage.userSeconds - startUsage.systemSeconds) /
        elapsed;
    summary["peak_resident_bytes"] = endUsage.peakResidentBytes;
    if (!summaryPath.empty()) {
        std::ofstream(summaryPath) << summary.dump(2) << "\n";
    }
    std::printf("reference loops: %.1f frames/s over %.1f s\n", static_cast<double>(frames) / elapsed,
                elapsed);
    return 0;
}
} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "reference-host: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "reference-host: unknown error\n");
    }
    return 1;
}
