#include "platform/PacingTimer.h"

#include "platform/Environment.h"

namespace platform {

namespace {
// 15.625 ms is the default rate of the Windows clock interrupt (64 a second).
constexpr std::chrono::nanoseconds kTick1ms{1'000'000};
constexpr std::chrono::nanoseconds kTick15ms{15'625'000};

std::chrono::nanoseconds tickOf(SleepModel model) {
    return model == SleepModel::Tick15ms ? kTick15ms : kTick1ms;
}
} // namespace

SleepModel sleepModelFromEnvironment() {
    const auto value = getEnv("FERROX_SLEEP_MODEL");
    if (value && *value == "tick1ms") {
        return SleepModel::Tick1ms;
    }
    if (value && *value == "tick15ms") {
        return SleepModel::Tick15ms;
    }
    return SleepModel::System;
}

SteadyClock::time_point modelWake(SleepModel model, SteadyClock::time_point now,
                                  SteadyClock::time_point deadline) {
    if (model == SleepModel::System || deadline <= now) {
        return deadline;
    }
    using std::chrono::nanoseconds;
    const auto wholeMs = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    const auto earliest = saturatingAdd(now, std::chrono::duration_cast<SteadyClock::duration>(wholeMs));
    if (earliest == SteadyClock::time_point::max()) {
        return earliest;
    }
    const auto tick = tickOf(model);
    const auto since = std::chrono::duration_cast<nanoseconds>(earliest.time_since_epoch());
    const auto ticks = (since + tick - nanoseconds(1)) / tick;
    return SteadyClock::time_point(std::chrono::duration_cast<SteadyClock::duration>(tick * ticks));
}

bool PacingTimer::raised() const {
    return signal_.raised();
}

bool PacingTimer::sleepUntil(SteadyClock::time_point deadline) {
    if (model_ == SleepModel::System) {
        return waitUntil(deadline);
    }
    return waitUntil(modelWake(model_, SteadyClock::now(), deadline));
}

std::string describeSleepModel(SleepModel model) {
    switch (model) {
    case SleepModel::Tick1ms:
        return "model of a sleep on 1 ms timer ticks (FERROX_SLEEP_MODEL=tick1ms)";
    case SleepModel::Tick15ms:
        return "model of a sleep on 15.625 ms timer ticks (FERROX_SLEEP_MODEL=tick15ms)";
    case SleepModel::System:
        break;
    }
    return {};
}

} // namespace platform
