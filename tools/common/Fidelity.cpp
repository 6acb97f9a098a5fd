#include "tools/common/Fidelity.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace ferrox_tools {

namespace {
// Above every block number.
constexpr std::uint32_t kZeroFrame = 0xFFFFFFFFu;
constexpr std::uint32_t kNotNumbered = 0xFFFFFFFEu;

nlohmann::json countsJson(const FidelityCounts& c) {
    return {{"frames", c.frames},
            {"blocks", c.blocks},
            {"repeated", c.repeated},
            {"skipped", c.skipped},
            {"largest_skip", c.largestSkip},
            {"slips", c.slips},
            {"going_back", c.goingBack},
            {"restarts", c.restarts},
            {"zero_frames", c.zeroFrames},
            {"not_numbered", c.notNumbered}};
}
} // namespace

std::uint32_t fidelityEntry(float value, bool zeroFrame) {
    if (zeroFrame) {
        return kZeroFrame;
    }
    if (!(value >= 0.0f && value < static_cast<float>(kBlockNumberModulus)) || std::floor(value) != value) {
        return kNotNumbered;
    }
    return static_cast<std::uint32_t>(value);
}

FidelityCounts countFidelity(const std::vector<std::uint32_t>& entries, std::size_t from) {
    FidelityCounts c;
    std::vector<std::uint32_t> stream; // the numbers since the last restart, for the distinct count
    auto endStream = [&] {
        std::sort(stream.begin(), stream.end());
        c.blocks += std::unique(stream.begin(), stream.end()) - stream.begin();
        stream.clear();
    };
    std::optional<std::uint32_t> previous;
    bool zerosBetween = false;
    for (std::size_t i = from; i < entries.size(); ++i) {
        const std::uint32_t number = entries[i];
        if (number == kZeroFrame) {
            ++c.zeroFrames;
            zerosBetween = true;
            continue;
        }
        if (number == kNotNumbered) {
            ++c.notNumbered;
            continue;
        }
        ++c.frames;
        if (previous) {
            // Forward distance modulo 2^24, so that the wrap of the counter is one step like any other.
            const std::uint32_t step = (number - *previous) & (kBlockNumberModulus - 1);
            if (step == 0) {
                ++c.repeated;
                ++c.slips;
            } else if (step < kBlockNumberModulus / 2) {
                if (step > 1) {
                    c.skipped += step - 1;
                    c.largestSkip = std::max<int64_t>(c.largestSkip, step - 1);
                    ++c.slips;
                }
            } else if (zerosBetween) {
                ++c.restarts;
                endStream();
            } else {
                ++c.goingBack;
            }
        }
        stream.push_back(number);
        previous = number;
        zerosBetween = false;
    }
    endStream();
    return c;
}

nlohmann::json fidelityJson(const std::vector<std::uint32_t>& entries, std::size_t settledFrom) {
    const FidelityCounts whole = countFidelity(entries);
    if (whole.frames == 0 || whole.notNumbered * 100 > whole.frames + whole.notNumbered) {
        return nullptr;
    }
    nlohmann::json j = countsJson(whole);
    j["after_first_second"] = settledFrom < entries.size() ? countsJson(countFidelity(entries, settledFrom))
                                                           : nlohmann::json(nullptr);
    return j;
}

nlohmann::json senderWritesJson(const std::vector<std::uint32_t>& entries, const std::vector<float>& stamps,
                                const std::vector<double>& committedMs, std::size_t from, double periodMs) {
    // Writes as (time against the schedule, segment); a segment ends where the numbers do not follow on
    // (a stall, a new companion), since the stamps cannot be unwrapped across it.
    struct Write {
        double offsetMs; // unwrapped stamp minus (last block number x period)
        std::uint32_t last;
        int segment;
    };
    std::vector<Write> writes;
    const std::size_t end = std::min({entries.size(), stamps.size(), committedMs.size()});
    double time = 0.0; // the last write's stamp, unwrapped
    float previousStamp = 0.0f;
    int segment = 0;
    for (std::size_t i = from; i < end; ++i) {
        const std::uint32_t number = entries[i];
        const float stamp = stamps[i];
        if (number >= kBlockNumberModulus || std::isnan(stamp)) {
            continue;
        }
        if (!writes.empty()) {
            const std::uint32_t step = (number - writes.back().last) & (kBlockNumberModulus - 1);
            if (step == 0) {
                continue; // a repeated frame
            }
            if (step <= kScheduleWindow && stamp == previousStamp) {
                writes.back().last = number; // another block of the same write
                writes.back().offsetMs -= static_cast<double>(step) * periodMs;
                continue;
            }
            if (step <= kScheduleWindow) {
                time += std::fmod(static_cast<double>(stamp) - static_cast<double>(previousStamp) + 1000.0,
                                  1000.0);
            } else {
                ++segment;
                time = stamp;
            }
        } else {
            time = stamp;
        }
        previousStamp = stamp;
        writes.push_back({time - static_cast<double>(number) * periodMs, number, segment});
    }
    if (writes.empty()) {
        return nullptr;
    }
    std::vector<double> lateness;
    lateness.reserve(writes.size());
    for (std::size_t w = 0; w < writes.size(); ++w) {
        double origin = writes[w].offsetMs;
        auto near = [&](const Write& other) {
            const std::uint32_t apart =
                other.last > writes[w].last ? other.last - writes[w].last : writes[w].last - other.last;
            return other.segment == writes[w].segment && apart <= kScheduleWindow;
        };
        for (std::size_t v = w; v > 0 && near(writes[v - 1]); --v) {
            origin = std::min(origin, writes[v - 1].offsetMs);
        }
        for (std::size_t v = w + 1; v < writes.size() && near(writes[v]); ++v) {
            origin = std::min(origin, writes[v].offsetMs);
        }
        lateness.push_back(writes[w].offsetMs - origin);
    }
    constexpr double kLateMs = 1.0;
    const auto heldUp = std::count_if(lateness.begin(), lateness.end(), [](double l) { return l > kLateMs; });
    // A repeated frame whose next block was written only after the frame was committed (less than
    // kInFlightMs before: loopback and the capture's read) is the stream's lateness: no receiver could
    // have shown that block in time.
    int64_t repeats = 0;
    int64_t repeatsBeforeSent = 0;
    for (std::size_t i = std::max<std::size_t>(from, 1); i < end; ++i) {
        if (entries[i] >= kBlockNumberModulus || entries[i] != entries[i - 1]) {
            continue;
        }
        ++repeats;
        for (std::size_t j = i + 1; j < std::min(end, i + kLateWriteReach); ++j) {
            if (entries[j] >= kBlockNumberModulus || entries[j] == entries[i] || std::isnan(stamps[j])) {
                continue;
            }
            // Stamp and commit are both modulo 1000 ms; their difference is far less than half of that.
            const double sentBeforeCommit =
                std::remainder(committedMs[i] - static_cast<double>(stamps[j]), 1000.0);
            if (sentBeforeCommit < kInFlightMs) {
                ++repeatsBeforeSent;
            }
            break;
        }
    }
    std::vector<double> sorted(lateness);
    std::sort(sorted.begin(), sorted.end());
    const std::size_t p99 = std::min(sorted.size() - 1, sorted.size() * 99 / 100);
    return {{"writes", writes.size()},
            {"held_up", heldUp},
            {"repeats", repeats},
            {"repeats_before_sent", repeatsBeforeSent},
            {"lateness_p99_ms", sorted[p99]},
            {"largest_lateness_ms", sorted.back()}};
}

} // namespace ferrox_tools
