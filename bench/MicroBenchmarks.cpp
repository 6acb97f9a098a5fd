// Micro-benchmarks of the paths that run per tick or per block, and of the file parsers.
#include "device/FerroxEMG.h"
#include "inventory/ConfigurationReport.h"
#include "inventory/SensorStateReader.h"
#include "platform/ChildProcess.h"
#include "platform/Listener.h"
#include "platform/Sleep.h"
#include "platform/ThreadPriority.h"

#include <benchmark/benchmark.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>

using QuillmarkPluginDevices::FerroxEMG;
using QuillmarkPluginDevices::SampleBlock;

namespace {

// A folder of this run's own for the files a parsing benchmark reads; removed with everything in it.
class ScratchFolder {
public:
    ScratchFolder()
        : path_(std::filesystem::temp_directory_path() /
                ("ferrox-micro-bench-" + std::to_string(platform::currentProcessId()))) {
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    // Writes `content` to the file `name` in the folder; its path.
    std::string write(const std::string& name, const std::string& content) const {
        std::string path = (path_ / name).string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

private:
    std::filesystem::path path_;
};

void addChannels(FerroxEMG& device, int channels) {
    for (int i = 0; i < channels; ++i) {
        const std::string name = "EMG " + std::to_string(i);
        device.channelNameStore().emplace_back(name.begin(), name.end());
        device.channelNameStore().back().push_back('\0');
        device.AddChannelDescriptor(device.channelNameStore().back().data(), 1);
        device.ChannelDescriptor(i)->SetProperty("AnalogChannel_Enabled", true);
    }
}

// A device with a live stream and two blocks queued, so every fill maps real values.
struct StreamedDevice {
    explicit StreamedDevice(int channels) : device({}, 0), client(io) {
        addChannels(device, channels);
        device.StartCapture();
        client.connect({boost::asio::ip::address_v4::loopback(), device.listeningPort()});
        while (!device.connected()) {
            device.PropertyChanged("AppRunMode");
        }
        SampleBlock block;
        for (int b = 0; b < 2; ++b) {
            boost::asio::write(client, boost::asio::buffer(block.values.data(), SampleBlock::kBytes));
        }
        while (device.blockQueue().size() < 2) {
        }
        device.StopCapture();
    }
    FerroxEMG device;
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket client;
};

void BM_FillFrameValues(benchmark::State& state) {
    StreamedDevice rig(static_cast<int>(state.range(0)));
    std::vector<float> values(FerroxEMG::kValuesBufferSize);
    int perFrame = 0;
    int frames = 0;
    for (auto _ : state) {
        rig.device.FillFrameValues(values.data(), perFrame, frames);
        benchmark::DoNotOptimize(values.data());
    }
    state.SetItemsProcessed(state.iterations() * perFrame);
}
BENCHMARK(BM_FillFrameValues)->Arg(16)->Arg(128)->Arg(1280);

void BM_BlockAppend(benchmark::State& state) {
    QuillmarkPluginDevices::BlockQueue queue;
    SampleBlock block;
    for (auto _ : state) {
        block.values[0] += 1.0;
        queue.append(block);
    }
}
BENCHMARK(BM_BlockAppend);

// One block over loopback TCP into the queue: what the receive thread does per block.
void BM_ReceiveAndAppend(benchmark::State& state) {
    FerroxEMG device({}, 0);
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket client(io);
    device.StartCapture();
    client.connect({boost::asio::ip::address_v4::loopback(), device.listeningPort()});
    while (!device.connected()) {
        device.PropertyChanged("AppRunMode");
    }
    SampleBlock block;
    double stamp = 0.0;
    SampleBlock newest;
    for (auto _ : state) {
        block.values[0] = ++stamp;
        boost::asio::write(client, boost::asio::buffer(block.values.data(), SampleBlock::kBytes));
        do {
            device.blockQueue().at(device.blockQueue().size() - 1, newest);
        } while (newest.values[0] != stamp);
    }
    device.StopCapture();
}
BENCHMARK(BM_ReceiveAndAppend)->UseRealTime();

// A loopback connection whose sender writes one 1024-byte block every 1 ms from a thread of the capture
// thread's priority, with Nagle's algorithm off or left on; the receiving end never waits in a read.
class PacedLoopback {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kPeriod = std::chrono::milliseconds(1);

    PacedLoopback(bool noDelay, bool promptAcknowledgements)
        : acceptor_(io_, {boost::asio::ip::address_v4::loopback(), 0}), sender_(io_), receiver_(io_) {
        sender_.connect(acceptor_.local_endpoint());
        sender_.set_option(boost::asio::ip::tcp::no_delay(noDelay));
        acceptor_.accept(receiver_);
        receiver_.non_blocking(true);
        if (promptAcknowledgements) {
            platform::setPromptAcknowledgements(receiver_);
        }
        writer_ = std::thread([this] {
            const platform::RealtimePriority priority;
            const SampleBlock block{};
            boost::system::error_code ec;
            for (auto due = Clock::now() + kPeriod; !stop_.load() && !ec; due += kPeriod) {
                platform::sleepUntil(due);
                boost::asio::write(sender_, boost::asio::buffer(block.values.data(), SampleBlock::kBytes),
                                   ec);
            }
        });
    }
    ~PacedLoopback() {
        stop_ = true;
        writer_.join();
    }
    PacedLoopback(const PacedLoopback&) = delete;
    PacedLoopback& operator=(const PacedLoopback&) = delete;

    // What arrived since the last read, in bytes (0 when nothing did).
    std::size_t read() {
        boost::system::error_code ec;
        return receiver_.read_some(boost::asio::buffer(space_), ec);
    }
    boost::asio::ip::tcp::socket& receiver() { return receiver_; }

private:
    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::ip::tcp::socket sender_;
    boost::asio::ip::tcp::socket receiver_;
    std::vector<unsigned char> space_ = std::vector<unsigned char>(std::size_t{256} * 1024);
    std::atomic<bool> stop_{false};
    std::thread writer_;
};

// What waking at 1 kHz costs on this machine, below anything the device does: one iteration is one
// 1 ms tick of a thread at the capture thread's priority that sleeps to an absolute deadline, alone
// (argument 0) or reading, without waiting, what a paced loopback sender wrote since (argument 1, Nagle
// off). cpu_time / real_time is that thread's share of one core, kernel time included: the floor under
// the device threads' figure. Counters: the wakes more than 1 ms late, and the latest (on a virtual
// machine, a processor woken from idle waits for the hypervisor: compare a run beside
// `chrt -i 0 stress-ng --cpu N`, which keeps the processors busy and gives way to any other thread).
void BM_WakeFloor(benchmark::State& state) {
    std::optional<PacedLoopback> stream;
    if (state.range(0) != 0) {
        stream.emplace(true, false);
    }
    const platform::RealtimePriority priority;
    auto due = PacedLoopback::Clock::now();
    int64_t lateWakes = 0;
    std::chrono::duration<double, std::milli> latest{0};
    for (auto _ : state) {
        due += PacedLoopback::kPeriod;
        platform::sleepUntil(due);
        const std::chrono::duration<double, std::milli> late = PacedLoopback::Clock::now() - due;
        lateWakes += late > std::chrono::milliseconds(1) ? 1 : 0;
        latest = std::max(latest, late);
        if (stream) {
            benchmark::DoNotOptimize(stream->read());
        }
    }
    state.counters["late_over_1ms"] = static_cast<double>(lateWakes);
    state.counters["latest_ms"] = latest.count();
}
BENCHMARK(BM_WakeFloor)->Arg(0)->Arg(1)->Iterations(3000)->UseRealTime();

// How a sender that leaves Nagle's algorithm on reaches a receiver that reads once per 1 ms tick, with
// the system's acknowledgements (argument 0) or the prompt ones the device asks for and re-arms after
// every read, reading on until nothing is left (argument 1). Counters: the largest arrival in blocks, and the
// longest time without one.
void BM_NagleArrivals(benchmark::State& state) {
    const bool prompt = state.range(0) != 0;
    PacedLoopback stream(false, prompt);
    const platform::RealtimePriority priority;
    std::size_t pending = 0;
    std::size_t largestBlocks = 0;
    double longestGapMs = 0.0;
    auto due = PacedLoopback::Clock::now();
    auto lastArrival = due;
    int64_t tick = 0;
    for (auto _ : state) {
        ++tick;
        due += PacedLoopback::kPeriod;
        platform::sleepUntil(due);
        std::size_t n = stream.read();
        if (n > 0) {
            // As the device reads: the acknowledgement the re-arm sends can release what the sender's
            // Nagle held back, at once over loopback, so the tick reads on until nothing is left.
            for (std::size_t more = n; prompt && more > 0; n += more) {
                platform::rearmPromptAcknowledgements(stream.receiver());
                more = stream.read();
            }
            const auto now = PacedLoopback::Clock::now();
            pending += n;
            largestBlocks = std::max(largestBlocks, pending / SampleBlock::kBytes);
            pending %= SampleBlock::kBytes;
            if (tick > 100) { // the connection's first moments are not the steady state
                longestGapMs = std::max(longestGapMs,
                                        std::chrono::duration<double, std::milli>(now - lastArrival).count());
            }
            lastArrival = now;
        }
    }
    state.counters["largest_arrival_blocks"] = static_cast<double>(largestBlocks);
    state.counters["longest_gap_ms"] = longestGapMs;
}
BENCHMARK(BM_NagleArrivals)->Arg(0)->Arg(1)->Iterations(3000)->UseRealTime();

void BM_ReportParse(benchmark::State& state) {
    std::ostringstream report;
    report << "Pellions detected: 1\nHardware Name: Bench Station\nDevice ID: 123456789\n";
    for (int s = 0; s < state.range(0); ++s) {
        report << "Slot " << s << " occupied by sensor " << (1000 + s) << "\n";
        report << "Slot " << s << " battery 87% signal good firmware 4.2.1\n";
    }
    const ScratchFolder scratch;
    const std::string path = scratch.write("DeviceConfiguration.txt", report.str());
    for (auto _ : state) {
        auto parsed = QuillmarkPluginDevices::readConfigurationReport(path);
        benchmark::DoNotOptimize(parsed.occupiedSensorIds.data());
    }
}
BENCHMARK(BM_ReportParse)->Arg(1000);

void BM_StateFileRead(benchmark::State& state) {
    std::ostringstream json;
    json << "{\"Sensors\": [";
    for (int s = 0; s < state.range(0); ++s) {
        json << (s ? "," : "") << "{\"Version\": 3, \"SensorId\": " << s << ", \"SensorName\": \"Sensor " << s
             << "\", \"ChannelNames\": [\"EMG " << s << "\", \"ACC X " << s << "\", \"ACC Y " << s
             << "\", \"ACC Z " << s << "\"], \"StickerNumber\": " << s << ", \"SlotNumber\": " << s % 16
             << ", \"ModeNumber\": 7, \"IsDio0Enabled\": false, \"IsDio1Enabled\": true, \"IsDio6Enabled\": "
                "false,"
             << " \"IsQuarantined\": false, \"SegmentNumber\": 1, \"IndexNumber\": " << s << "}";
    }
    json << "]}";
    const ScratchFolder scratch;
    const std::string path = scratch.write("system-state.json", json.str());
    for (auto _ : state) {
        auto sensors = QuillmarkPluginDevices::readSensorStateFile(path).sensors;
        benchmark::DoNotOptimize(sensors.data());
    }
}
BENCHMARK(BM_StateFileRead)->Arg(1000);

} // namespace

BENCHMARK_MAIN();
