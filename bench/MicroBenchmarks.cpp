// Micro-benchmarks of the paths that run per tick or per block, and of the file parsers.
#include "companion/CompanionController.h"
#include "companion/Paths.h"
#include "device/FerroxEMG.h"
#include "inventory/ConfigurationReport.h"
#include "tests/support/Sandbox.h"

#include <benchmark/benchmark.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>

#include <sstream>

using QuillmarkPluginDevices::FerroxEMG;
using QuillmarkPluginDevices::SampleBlock;

namespace {

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
    ferrox_test::Sandbox sandbox;
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
    ferrox_test::Sandbox sandbox;
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

void BM_ReportParse(benchmark::State& state) {
    ferrox_test::Sandbox sandbox;
    const std::string path = sandbox.root() + "/report.txt";
    std::ostringstream report;
    report << "Pellions detected: 1\nHardware Name: Bench Station\nDevice ID: 123456789\n";
    for (int s = 0; s < state.range(0); ++s) {
        report << "Slot " << s << " occupied by sensor " << (1000 + s) << "\n";
        report << "Slot " << s << " battery 87% signal good firmware 4.2.1\n";
    }
    ferrox_test::writeFile(path, report.str());
    for (auto _ : state) {
        auto parsed = QuillmarkPluginDevices::readConfigurationReport(path);
        benchmark::DoNotOptimize(parsed.occupiedSensorIds.data());
    }
}
BENCHMARK(BM_ReportParse)->Arg(1000);

void BM_StateFileRead(benchmark::State& state) {
    ferrox_test::Sandbox sandbox;
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
    ferrox_test::writeFile(*QuillmarkPluginDevices::sensorStateFilePath(), json.str());
    QuillmarkPluginDevices::CompanionController controller;
    for (auto _ : state) {
        auto sensors = controller.readSensorStates();
        benchmark::DoNotOptimize(sensors.data());
    }
}
BENCHMARK(BM_StateFileRead)->Arg(1000);

} // namespace

BENCHMARK_MAIN();
