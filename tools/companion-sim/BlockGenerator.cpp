#include "BlockGenerator.h"

#include <cmath>
#include <cstring>

namespace companion_sim {

namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr double kDegreesPerRadian = 180.0 / kPi;
constexpr double kSqrt3 = 1.7320508075688772;

// Activation edges: short for the EMG, longer for the limb movement that the activation drives.
constexpr double kEmgRampSeconds = 0.1;
constexpr double kMovementRampSeconds = 0.2;
// Each sensor's bursts start this much later than the previous sensor's, so channels are told apart.
constexpr double kSensorBurstLagSeconds = 0.45;

// The EMG band-pass: four taps +1, four taps -1 over white noise. It has a zero at DC and its main lobe
// around 100 Hz, where surface EMG carries most of its power; dividing by sqrt(8) keeps unit variance.
constexpr int kEmgTaps = 8;
const double kEmgGain = 1.0 / std::sqrt(static_cast<double>(kEmgTaps));

std::uint64_t mix(std::uint64_t z) {
    z += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// Uniform noise of unit variance in [-sqrt 3, sqrt 3], a pure function of (seed, stream, sample).
double whiteNoise(std::uint64_t seed, std::uint64_t stream, std::uint64_t sample) {
    const std::uint64_t h = mix(mix(seed * 0x100000001b3ULL + stream) + sample);
    const double unit = static_cast<double>(h >> 11) * (1.0 / 9007199254740992.0); // [0, 1)
    return (2.0 * unit - 1.0) * kSqrt3;
}

double bandLimitedNoise(std::uint64_t seed, std::uint64_t stream, std::uint64_t k) {
    double sum = 0.0;
    for (int j = 0; j < kEmgTaps; ++j) {
        // Sample indices below 0 wrap around: still a valid, deterministic noise value.
        const double w = whiteNoise(seed, stream, k - static_cast<std::uint64_t>(j));
        sum += j < kEmgTaps / 2 ? w : -w;
    }
    return sum * kEmgGain;
}

// An activation envelope between 0 and 1 with raised-cosine edges, and its time derivative.
struct Envelope {
    double value;
    double slope; // per second
};

Envelope burstEnvelope(double t, double lag, double ramp) {
    double p = std::fmod(t - lag, kBurstCycleSeconds);
    if (p < 0) {
        p += kBurstCycleSeconds;
    }
    if (p < ramp) {
        return {0.5 * (1.0 - std::cos(kPi * p / ramp)), 0.5 * kPi / ramp * std::sin(kPi * p / ramp)};
    }
    if (p < kBurstOnSeconds - ramp) {
        return {1.0, 0.0};
    }
    if (p < kBurstOnSeconds) {
        const double q = p - (kBurstOnSeconds - ramp);
        return {0.5 * (1.0 + std::cos(kPi * q / ramp)), -0.5 * kPi / ramp * std::sin(kPi * q / ramp)};
    }
    return {0.0, 0.0};
}

// Noise stream numbers: one per sensor value, and further ones for the inertial sensors' own noise.
std::uint64_t streamOf(int value, int purpose) {
    return static_cast<std::uint64_t>(value) * 4 + purpose;
}

double phaseOf(std::uint64_t seed, int sensor, int which) {
    const std::uint64_t h = mix(seed ^ mix(static_cast<std::uint64_t>(sensor) * 16 + which + 0x51ed));
    return static_cast<double>(h >> 11) * (1.0 / 9007199254740992.0) * 2.0 * kPi;
}

double emgValue(const SignalSettings& s, int sensor, int value, std::uint64_t k, double t) {
    const double lag = (sensor - 1) * kSensorBurstLagSeconds;
    const double e = burstEnvelope(t, lag, kEmgRampSeconds).value;
    const double rms = kEmgRestRmsMillivolts + (kEmgBurstRmsMillivolts - kEmgRestRmsMillivolts) * e;
    return rms * bandLimitedNoise(s.seed, streamOf(value, 0), k);
}

// The limb carrying the sensor: pitch follows a slow sway plus the lift that each activation causes,
// roll sways slowly on its own. Gravity is seen through that orientation; the rates are its derivatives.
struct Orientation {
    double pitch, roll;         // radians
    double pitchRate, rollRate; // radians per second
    double yawRate;             // radians per second
};

Orientation orientationOf(const SignalSettings& s, int sensor, double t) {
    const double lag = (sensor - 1) * kSensorBurstLagSeconds;
    const Envelope lift = burstEnvelope(t, lag, kMovementRampSeconds);
    const double w1 = 2.0 * kPi * 0.4;
    const double w2 = 2.0 * kPi * 0.23;
    const double w3 = 2.0 * kPi * 0.31;
    const double a1 = phaseOf(s.seed, sensor, 1);
    const double a2 = phaseOf(s.seed, sensor, 2);
    const double a3 = phaseOf(s.seed, sensor, 3);
    Orientation o{};
    o.pitch = 0.25 * std::sin(w1 * t + a1) + 0.35 * lift.value;
    o.pitchRate = 0.25 * w1 * std::cos(w1 * t + a1) + 0.35 * lift.slope;
    o.roll = 0.12 * std::sin(w2 * t + a2);
    o.rollRate = 0.12 * w2 * std::cos(w2 * t + a2);
    o.yawRate = 0.14 * std::sin(w3 * t + a3);
    return o;
}

double sineAmplitude(RunMode mode, int axis) {
    if (axis == 0 || mode == RunMode::Emg) {
        return 1.0; // mV
    }
    return mode == RunMode::EmgAccelerometer ? 1.0 /* g */ : 100.0 /* deg/s */;
}
} // namespace

std::optional<RunMode> runModeFromCommand(const std::string& line) {
    if (line == "EMG") {
        return RunMode::Emg;
    }
    if (line == "EMG plus Accelerometer") {
        return RunMode::EmgAccelerometer;
    }
    if (line == "EMG plus Gyrscope") {
        return RunMode::EmgGyroscope;
    }
    return std::nullopt;
}

const char* commandText(RunMode mode) {
    switch (mode) {
    case RunMode::Emg:
        return "EMG";
    case RunMode::EmgAccelerometer:
        return "EMG plus Accelerometer";
    case RunMode::EmgGyroscope:
        return "EMG plus Gyrscope";
    }
    return "EMG";
}

std::optional<SignalShape> signalShapeFromName(const std::string& name) {
    if (name == "physiological") {
        return SignalShape::Physiological;
    }
    if (name == "sine") {
        return SignalShape::Sine;
    }
    if (name == "ramp") {
        return SignalShape::Ramp;
    }
    return std::nullopt;
}

const char* signalShapeName(SignalShape shape) {
    switch (shape) {
    case SignalShape::Physiological:
        return "physiological";
    case SignalShape::Sine:
        return "sine";
    case SignalShape::Ramp:
        return "ramp";
    }
    return "physiological";
}

Block makeBlock(const SignalSettings& settings, RunMode mode, std::uint64_t k) {
    Block block{};
    const int sensors =
        settings.sensors < 0 ? 0 : (settings.sensors > kMaxSensors ? kMaxSensors : settings.sensors);
    const double t = static_cast<double>(k) / kBlocksPerSecond;
    for (int u = 1; u <= sensors; ++u) {
        const int first = (u - 1) * kValuesPerSensor;
        switch (settings.shape) {
        case SignalShape::Ramp:
            for (int c = 0; c < kValuesPerSensor; ++c) {
                block[first + c] = (first + c) + static_cast<double>(k % 1000) / 1000.0;
            }
            break;
        case SignalShape::Sine:
            for (int c = 0; c < kValuesPerSensor; ++c) {
                const int i = first + c;
                const double hz = 1.0 + (i % 16);
                block[i] = sineAmplitude(mode, c) * std::sin(2.0 * kPi * hz * t);
            }
            break;
        case SignalShape::Physiological: {
            block[first] = emgValue(settings, u, first, k, t);
            if (mode == RunMode::Emg) {
                for (int c = 1; c < kValuesPerSensor; ++c) {
                    block[first + c] = emgValue(settings, u, first + c, k, t);
                }
                break;
            }
            const Orientation o = orientationOf(settings, u, t);
            auto noise = [&](int axis) { return whiteNoise(settings.seed, streamOf(first + axis, 1), k); };
            if (mode == RunMode::EmgAccelerometer) {
                constexpr double kNoiseG = 0.003;
                block[first + 1] = std::sin(o.pitch) + kNoiseG * noise(1);
                block[first + 2] = -std::cos(o.pitch) * std::sin(o.roll) + kNoiseG * noise(2);
                block[first + 3] = std::cos(o.pitch) * std::cos(o.roll) + kNoiseG * noise(3);
            } else {
                constexpr double kNoiseDps = 0.2;
                block[first + 1] = o.rollRate * kDegreesPerRadian + kNoiseDps * noise(1);
                block[first + 2] = o.pitchRate * kDegreesPerRadian + kNoiseDps * noise(2);
                block[first + 3] = o.yawRate * kDegreesPerRadian + kNoiseDps * noise(3);
            }
            break;
        }
        }
    }
    return block;
}

namespace {
double millisecondsModulo1000(std::chrono::steady_clock::time_point time) {
    // In microseconds: a stamp of whole milliseconds would overstate every latency by up to 1 ms. A
    // float still holds 999.999 to within 0.1 us, so the device's conversion keeps the fraction.
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
    return static_cast<double>(((us % 1'000'000) + 1'000'000) % 1'000'000) / 1000.0;
}
} // namespace

void stampLatency(Block& block, std::chrono::steady_clock::time_point sendTime) {
    block[kLatencyStampIndex] = millisecondsModulo1000(sendTime);
}

void stampSequence(Block& block, std::uint64_t counter,
                   std::optional<std::chrono::steady_clock::time_point> previousWriteReturned) {
    block[kSequenceIndex] = static_cast<double>(counter % kSequenceModulus);
    block[kPreviousReturnIndex] =
        previousWriteReturned ? millisecondsModulo1000(*previousWriteReturned) : 0.0;
}

void encodeBlock(const Block& block, unsigned char* wire) {
    for (std::size_t i = 0; i < kValuesPerBlock; ++i) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &block[i], sizeof bits);
        for (std::size_t b = 0; b < 8; ++b) {
            wire[i * 8 + b] = static_cast<unsigned char>(bits >> (8 * b));
        }
    }
}

WireBlock encodeBlock(const Block& block) {
    WireBlock wire{};
    encodeBlock(block, wire.data());
    return wire;
}

Block decodeBlock(const unsigned char* bytes) {
    Block block{};
    for (std::size_t i = 0; i < kValuesPerBlock; ++i) {
        std::uint64_t bits = 0;
        for (std::size_t b = 0; b < 8; ++b) {
            bits |= static_cast<std::uint64_t>(bytes[i * 8 + b]) << (8 * b);
        }
        std::memcpy(&block[i], &bits, sizeof bits);
    }
    return block;
}

} // namespace companion_sim
