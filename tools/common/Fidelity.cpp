#include "tools/common/Fidelity.h"

#include <algorithm>
#include <cmath>
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

} // namespace ferrox_tools
