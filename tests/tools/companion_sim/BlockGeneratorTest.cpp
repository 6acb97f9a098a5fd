#include "BlockGenerator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace companion_sim {
namespace {

constexpr std::uint64_t kFiveSeconds = 5000;

double norm3(const Block& b, int first) {
    return std::sqrt(b[first + 1] * b[first + 1] + b[first + 2] * b[first + 2] + b[first + 3] * b[first + 3]);
}

struct LayoutCase {
    RunMode mode;
    int sensors;
};

void PrintTo(const LayoutCase& c, std::ostream* os) {
    *os << commandText(c.mode) << ", " << c.sensors << " sensors";
}

std::string layoutName(const ::testing::TestParamInfo<LayoutCase>& info) {
    static const char* const kModeNames[] = {"Emg", "Accelerometer", "Gyroscope"};
    return kModeNames[static_cast<int>(info.param.mode)] + std::to_string(info.param.sensors) + "Sensors";
}

class PhysiologicalLayout : public ::testing::TestWithParam<LayoutCase> {};

// Over five seconds of signal (two burst cycles), every value stays in the range of its kind, and
// values past the last sensor stay exactly zero.
TEST_P(PhysiologicalLayout, EveryValueIsInTheRangeOfItsKind) {
    const auto param = GetParam();
    const SignalSettings settings{param.sensors, SignalShape::Physiological, 7};
    for (std::uint64_t k = 0; k < kFiveSeconds; ++k) {
        const Block b = makeBlock(settings, param.mode, k);
        for (int u = 1; u <= param.sensors; ++u) {
            const int first = (u - 1) * kValuesPerSensor;
            ASSERT_LE(std::abs(b[first]), kEmgBoundMillivolts) << "EMG of sensor " << u << " at block " << k;
            switch (param.mode) {
            case RunMode::Emg:
                for (int c = 1; c < kValuesPerSensor; ++c) {
                    ASSERT_LE(std::abs(b[first + c]), kEmgBoundMillivolts) << "block " << k;
                }
                break;
            case RunMode::EmgAccelerometer:
                ASSERT_NEAR(norm3(b, first), 1.0, 0.02) << "gravity, sensor " << u << ", block " << k;
                ASSERT_GT(b[first + 3], 0.7) << "the limb never turns upside down";
                break;
            case RunMode::EmgGyroscope:
                for (int c = 1; c < kValuesPerSensor; ++c) {
                    ASSERT_LE(std::abs(b[first + c]), 250.0) << "deg/s, block " << k;
                }
                break;
            }
        }
        for (std::size_t i = static_cast<std::size_t>(param.sensors) * kValuesPerSensor; i < kValuesPerBlock;
             ++i) {
            ASSERT_EQ(b[i], 0.0) << "value " << i << " belongs to no sensor";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, PhysiologicalLayout,
                         ::testing::Values(LayoutCase{RunMode::Emg, 4},
                                           LayoutCase{RunMode::EmgAccelerometer, 4},
                                           LayoutCase{RunMode::EmgGyroscope, 4},
                                           LayoutCase{RunMode::EmgAccelerometer, kMaxSensors},
                                           LayoutCase{RunMode::Emg, 1}),
                         layoutName);

double rms(const std::vector<double>& v) {
    double sum = 0;
    for (double x : v) {
        sum += x * x;
    }
    return std::sqrt(sum / static_cast<double>(v.size()));
}

// EMG is activity in bursts: much stronger inside a burst than at rest, zero-mean, and each sensor
// bursts at its own time. The gyroscope sees the movement the bursts drive.
TEST(PhysiologicalSignal, EmgComesInBurstsThatDifferPerSensor) {
    const SignalSettings settings{2, SignalShape::Physiological, 3};
    // Sensor 1 is active during [0.1 s, 0.9 s) of every 2.5 s cycle and at rest in [1.1 s, 2.4 s).
    std::vector<double> active1, rest1, sameTime2;
    double sum = 0;
    for (std::uint64_t k = 0; k < 2500; ++k) {
        const Block b = makeBlock(settings, RunMode::EmgAccelerometer, k);
        sum += b[0];
        if (k >= 100 && k < 900) {
            active1.push_back(b[0]);
            sameTime2.push_back(b[4]);
        } else if (k >= 1100 && k < 2400) {
            rest1.push_back(b[0]);
        }
    }
    EXPECT_GT(rms(active1), 0.1);
    EXPECT_LT(rms(rest1), 0.02);
    EXPECT_NEAR(sum / 2500, 0.0, 0.01);
    EXPECT_NE(rms(active1), rms(sameTime2)) << "sensor 2 must not copy sensor 1";

    double peakRate = 0;
    for (std::uint64_t k = 0; k < 2500; ++k) {
        const Block b = makeBlock(settings, RunMode::EmgGyroscope, k);
        peakRate = std::max(peakRate, std::abs(b[2]));
    }
    EXPECT_GT(peakRate, 20.0) << "a burst lifts the limb, which the gyroscope must show in deg/s";
}

// The generator is a pure function of its arguments: a restart or a benchmark can start anywhere.
TEST(PhysiologicalSignal, SameArgumentsGiveTheSameBlockAndSeedsDiffer) {
    const SignalSettings a{4, SignalShape::Physiological, 1};
    const SignalSettings b{4, SignalShape::Physiological, 2};
    const Block first = makeBlock(a, RunMode::EmgAccelerometer, 123456);
    makeBlock(a, RunMode::EmgAccelerometer, 99); // no hidden state in between
    EXPECT_EQ(first, makeBlock(a, RunMode::EmgAccelerometer, 123456));
    EXPECT_NE(first[0], makeBlock(b, RunMode::EmgAccelerometer, 123456)[0]);
}

TEST(TestShapes, RampEncodesValueIndexAndBlockPhase) {
    const SignalSettings settings{3, SignalShape::Ramp, 1};
    const Block b = makeBlock(settings, RunMode::EmgGyroscope, 2345);
    for (int i = 0; i < 12; ++i) {
        EXPECT_DOUBLE_EQ(b[i], i + 0.345) << i;
    }
    EXPECT_EQ(b[12], 0.0);
}

TEST(LatencyStamp, CarriesSteadyMillisecondsModulo1000ToTheMicrosecondInValue127) {
    using namespace std::chrono;
    const SignalSettings settings{kMaxSensors, SignalShape::Ramp, 1};
    Block b = makeBlock(settings, RunMode::Emg, 0);
    const steady_clock::time_point when{milliseconds(7'654'321) + microseconds(999)};
    stampLatency(b, when);
    EXPECT_DOUBLE_EQ(b[kLatencyStampIndex], 321.999);
    EXPECT_FLOAT_EQ(static_cast<float>(b[kLatencyStampIndex]), 321.999f) << "the fraction survives a float";
    EXPECT_DOUBLE_EQ(b[126], 126.0) << "only value 127 is replaced";
}

TEST(WireFormat, LittleEndianDoublesRoundTrip) {
    Block b{};
    b[0] = 1.0;
    b[1] = -0.5;
    b[127] = 999.0;
    const WireBlock wire = encodeBlock(b);
    ASSERT_EQ(wire.size(), 1024u);
    // 1.0 is 0x3FF0000000000000: the least significant byte first.
    const unsigned char one[8] = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
    EXPECT_EQ(std::memcmp(wire.data(), one, 8), 0);
    EXPECT_EQ(decodeBlock(wire.data()), b);
}

TEST(RunModes, CommandLinesMapToLayoutsExactly) {
    EXPECT_EQ(runModeFromCommand("EMG"), RunMode::Emg);
    EXPECT_EQ(runModeFromCommand("EMG plus Accelerometer"), RunMode::EmgAccelerometer);
    EXPECT_EQ(runModeFromCommand("EMG plus Gyrscope"), RunMode::EmgGyroscope);
    for (const char* other : {"emg", "EMG plus Gyroscope", "EMG ", "Stop", ""}) {
        EXPECT_FALSE(runModeFromCommand(other)) << other;
    }
}

} // namespace
} // namespace companion_sim
