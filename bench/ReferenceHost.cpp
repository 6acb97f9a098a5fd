// Runs the reference loops over a companion's stream with the host model and measures them with the
// same recorder as ferrox-host measures the plug-in, so the two sets of figures compare directly.
#include "bench/ReferenceDevice.h"
#include "tools/common/CaptureRecorder.h"

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
    int sequenceChannel = -1;
    double connectTimeout = 10.0;
    std::string summaryPath;
    app.add_option("--port", port, "TCP port to listen on (loopback)");
    app.add_option("--seconds", seconds, "capture time");
    app.add_option("--channels", channels, "active channels (descriptors 0..N-1)");
    app.add_option("--stamp-channel", stampChannel, "active channel carrying the send time (ms mod 1000)");
    app.add_option("--sequence-channel", sequenceChannel, "active channel that may carry the block numbers");
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

    ferrox_tools::CaptureFigures figures;
    ferrox_tools::CaptureRecorder::Options measure;
    measure.seconds = seconds;
    measure.stampChannel = stampChannel;
    measure.sequenceChannel = sequenceChannel;
    ferrox_tools::CaptureRecorder(device, measure, figures).run();

    const nlohmann::json summary = {{"capture", ferrox_tools::figuresJson(figures)}};
    if (!summaryPath.empty() && !(std::ofstream(summaryPath) << summary.dump(2) << "\n")) {
        std::fprintf(stderr, "ferrox-reference-host: cannot write %s\n", summaryPath.c_str());
        return 1;
    }
    std::printf("reference loops: %.1f frames/s, %lld frames over %.1f s\n", figures.framesPerSecond,
                static_cast<long long>(figures.frames), figures.seconds);
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
