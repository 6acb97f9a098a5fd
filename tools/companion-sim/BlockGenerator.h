#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace companion_sim {

// The layouts the base station streams in, named by the command-file lines that select them.
enum class RunMode { Emg, EmgAccelerometer, EmgGyroscope };

std::optional<RunMode> runModeFromCommand(const std::string& line);
const char* commandText(RunMode mode);

// How the channel values are made.
//   Physiological: EMG bursts, gravity plus movement, rotation rates (see makeBlock).
//   Sine:          a clean tone per value (for checking scaling and channel order by eye).
//   Ramp:          value i of block k is i + (k mod 1000) / 1000 (for checking alignment and order).
enum class SignalShape { Physiological, Sine, Ramp };

std::optional<SignalShape> signalShapeFromName(const std::string& name);
const char* signalShapeName(SignalShape shape);

constexpr std::size_t kValuesPerBlock = 128;
constexpr std::size_t kBlockBytes = kValuesPerBlock * sizeof(double);
constexpr int kValuesPerSensor = 4;
constexpr int kMaxSensors = static_cast<int>(kValuesPerBlock) / kValuesPerSensor;
constexpr std::size_t kLatencyStampIndex = 127;
constexpr std::size_t kSequenceIndex = 126;
constexpr std::size_t kPreviousReturnIndex = 125;
// The block counter wraps here, so that every value it takes is a whole number a float holds exactly.
constexpr std::uint64_t kSequenceModulus = std::uint64_t{1} << 24;
constexpr int kBlocksPerSecond = 1000;

// Units of the physiological shape.
constexpr double kEmgBurstRmsMillivolts = 0.2;  // peaks stay below 1 mV
constexpr double kEmgRestRmsMillivolts = 0.005; // 5 microvolts of baseline noise
constexpr double kEmgBoundMillivolts = 1.0;     // no EMG value ever exceeds this
constexpr double kBurstCycleSeconds = 2.5;      // 1 s of activation, 1.5 s of rest
constexpr double kBurstOnSeconds = 1.0;

using Block = std::array<double, kValuesPerBlock>;
using WireBlock = std::array<unsigned char, kBlockBytes>;

struct SignalSettings {
    int sensors = 4; // 1 .. kMaxSensors; values beyond 4 * sensors stay 0
    SignalShape shape = SignalShape::Physiological;
    std::uint64_t seed = 1; // noise realisation
};

// Block k (due k ms after the stream's time origin) in the given layout. Pure: the same arguments
// give the same block, so a reconnect or a benchmark can start anywhere in the signal.
// Value 4(u-1)+0 is sensor u's EMG in millivolts; values 4(u-1)+1..3 are its accelerometer X, Y, Z in
// g (EmgAccelerometer), its gyroscope X, Y, Z in degrees per second (EmgGyroscope), or three further
// EMG channels (Emg). Values from 4 * sensors on are 0.
Block makeBlock(const SignalSettings& settings, RunMode mode, std::uint64_t k);

// Puts the send time into value kLatencyStampIndex: steady-clock milliseconds (to the microsecond) modulo
// 1000. A reader on the same machine takes (its own steady milliseconds - stamp) mod 1000 as the latency.
void stampLatency(Block& block, std::chrono::steady_clock::time_point sendTime);

// Puts the block counter into value kSequenceIndex: counter modulo kSequenceModulus; and into value
// kPreviousReturnIndex the time the previous write's call returned, as the latency stamp (0 for a
// connection's first write). A stamp is taken as a write begins; the bytes are in the socket by the
// time its call returns, so a reader learns from the next write when they had landed at the latest.
void stampSequence(Block& block, std::uint64_t counter,
                   std::optional<std::chrono::steady_clock::time_point> previousWriteReturned);

// The wire form: 128 little-endian IEEE 754 doubles, whatever the host's byte order.
WireBlock encodeBlock(const Block& block);
// The same into kBlockBytes bytes at `wire` (one block of a longer write).
void encodeBlock(const Block& block, unsigned char* wire);
Block decodeBlock(const unsigned char* bytes);

} // namespace companion_sim
