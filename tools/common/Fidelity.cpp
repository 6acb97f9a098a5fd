#include "tools/common/Fidelity.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <type_traits>

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
                                const std::vector<double>& committedMs, std::size_t from, double periodMs,
                                const std::vector<float>& returned) {
    // Writes as (time against the schedule, segment); a segment ends where the numbers do not follow on
    // (a stall, a new companion), since the stamps cannot be unwrapped across it.
    struct Write {
        double offsetMs; // unwrapped stamp minus (last block number x period)
        std::uint32_t last;
        int segment;
        double index; // the last block's number, unwrapped within its segment
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
                writes.back().index += static_cast<double>(step);
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
        const bool follows = !writes.empty() && writes.back().segment == segment;
        const double index =
            follows ? writes.back().index +
                          static_cast<double>((number - writes.back().last) & (kBlockNumberModulus - 1))
                    : 0.0;
        writes.push_back({time - static_cast<double>(number) * periodMs, number, segment, index});
    }
    if (writes.empty()) {
        return nullptr;
    }
    // The sender's own schedule: a clock that runs fast or slow writes at its own period, not the
    // device's. A segment long enough to tell has its trend taken out before lateness is read: the slope
    // between the earliest writes (the punctual ones) of its first and its last stretch of
    // kScheduleWindow blocks, which late writes cannot bend.
    for (std::size_t first = 0; first < writes.size();) {
        std::size_t last = first;
        while (last < writes.size() && writes[last].segment == writes[first].segment) {
            ++last;
        }
        const double span = writes[last - 1].index - writes[first].index;
        if (span >= 4.0 * kScheduleWindow) {
            auto earliest = [&](double lowest, double highest) {
                const Write* best = nullptr;
                for (std::size_t w = first; w < last; ++w) {
                    if (writes[w].index >= lowest && writes[w].index <= highest &&
                        (!best || writes[w].offsetMs < best->offsetMs)) {
                        best = &writes[w];
                    }
                }
                return best;
            };
            const double window = static_cast<double>(kScheduleWindow);
            const Write* a = earliest(writes[first].index, writes[first].index + window);
            const Write* b = earliest(writes[last - 1].index - window, writes[last - 1].index);
            if (a && b && b->index > a->index) {
                const double slope = (b->offsetMs - a->offsetMs) / (b->index - a->index);
                for (std::size_t w = first; w < last; ++w) {
                    writes[w].offsetMs -= slope * writes[w].index;
                }
            }
        }
        first = last;
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
    // A repeated frame whose next block was written only after the frame was due (less than kInFlightMs
    // before: loopback and the capture's read) is the stream's lateness: no receiver could have shown
    // that block in time. Frame i is due i periods after the schedule's origin, the earliest the commits
    // allow; a frame committed late was read late too, so its commit would blame the receiver for a
    // block written after the frame was due (the read, or the commit after it, held up).
    // The stamp is taken as a write begins, and a write's bytes are in the socket by the time its call
    // returns, which the sender's next write carries. A write that returned only after the frame was
    // due (the sender preempted inside it, or a system whose socket calls wait on a server of their
    // own first) may have landed after it too: that repeat is the sender's as well.
    double origin = 0.0;
    for (std::size_t i = from; i < end; ++i) {
        origin = std::min(origin, std::remainder(committedMs[i] - committedMs[from] -
                                                     static_cast<double>(i - from) * periodMs,
                                                 1000.0));
    }
    auto dueMs = [&](std::size_t i) {
        return committedMs[from] + origin + static_cast<double>(i - from) * periodMs;
    };
    auto committedAfterDue = [&](std::size_t i) { return std::remainder(committedMs[i] - dueMs(i), 1000.0); };
    // Whether the write that carried entry j returned after frame i was due: the return time comes
    // with the first block of the next write.
    auto returnedAfterDue = [&](std::size_t i, std::size_t j) {
        for (std::size_t k = j + 1; k < std::min<std::size_t>({end, returned.size(), j + kScheduleWindow});
             ++k) {
            if (entries[k] >= kBlockNumberModulus || std::isnan(stamps[k]) || stamps[k] == stamps[j]) {
                continue;
            }
            return !std::isnan(returned[k]) &&
                   std::remainder(static_cast<double>(returned[k]) - dueMs(i), 1000.0) > -kInFlightMs;
        }
        return false;
    };
    int64_t repeats = 0;
    int64_t repeatsBeforeSent = 0;
    nlohmann::json unexplained = nlohmann::json::array();
    for (std::size_t i = std::max<std::size_t>(from, 1); i < end; ++i) {
        if (entries[i] >= kBlockNumberModulus || entries[i] != entries[i - 1]) {
            continue;
        }
        ++repeats;
        // However long the sender was held up: every frame of a run of repeats looks for the same next
        // block, which the run's end brings.
        for (std::size_t j = i + 1; j < end; ++j) {
            if (entries[j] >= kBlockNumberModulus || entries[j] == entries[i] || std::isnan(stamps[j])) {
                continue;
            }
            // Stamp and due time are both modulo 1000 ms; their difference is far less than half of that.
            const double sentBeforeDue = std::remainder(dueMs(i) - static_cast<double>(stamps[j]), 1000.0);
            if (sentBeforeDue < kInFlightMs || returnedAfterDue(i, j)) {
                ++repeatsBeforeSent;
            } else if (unexplained.size() < kMostUnexplainedListed) {
                unexplained.push_back({{"frame", i - from},
                                       {"sent_before_due_ms", sentBeforeDue},
                                       {"committed_after_due_ms", committedAfterDue(i)}});
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
            {"repeats_unexplained", unexplained},
            {"lateness_p99_ms", sorted[p99]},
            {"largest_lateness_ms", sorted.back()}};
}

std::vector<ConnectionCounts> countConnections(const std::vector<std::uint32_t>& entries,
                                               std::size_t edgeFrames) {
    // The numbered frames, each with whether zeros came just before it.
    struct Numbered {
        std::size_t entry;
        bool afterZeros;
    };
    std::vector<Numbered> numbered;
    bool zeros = false;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i] == kZeroFrame) {
            zeros = true;
        } else if (entries[i] != kNotNumbered) {
            numbered.push_back({i, zeros && !numbered.empty()});
            zeros = false;
        }
    }
    auto stepInto = [&](std::size_t k) {
        return (entries[numbered[k].entry] - entries[numbered[k - 1].entry]) & (kBlockNumberModulus - 1);
    };
    std::vector<ConnectionCounts> connections;
    std::size_t begin = 0;
    while (begin < numbered.size()) {
        // One past the connection's last numbered frame. Numbers that go back start a new connection,
        // with zeros before it or without: a companion that hung gives way to its replacement at once
        // when the replacement's backlog is there to be shown.
        std::size_t end = begin + 1;
        while (end < numbered.size() && stepInto(end) < kBlockNumberModulus / 2) {
            ++end;
        }
        ConnectionCounts c;
        c.first = numbered[begin].entry;
        c.last = numbered[end - 1].entry;
        c.firstBlock = entries[c.first];
        c.lastBlock = entries[c.last];
        // Where each frame's stretch begins and ends.
        std::vector<std::size_t> stretchFirst(end - begin);
        std::vector<std::size_t> stretchLast(end - begin);
        for (std::size_t k = begin; k < end; ++k) {
            const bool starts = k == begin || numbered[k].afterZeros;
            stretchFirst[k - begin] = starts ? numbered[k].entry : stretchFirst[k - begin - 1];
            c.stalls += starts && k != begin ? 1 : 0;
        }
        for (std::size_t k = end; k-- > begin;) {
            const bool ends = k + 1 == end || numbered[k + 1].afterZeros;
            stretchLast[k - begin] = ends ? numbered[k].entry : stretchLast[k - begin + 1];
        }
        bool haveMiddle = false;
        for (std::size_t k = begin + 1; k < end; ++k) {
            const std::size_t from = numbered[k - 1].entry;
            const std::size_t to = numbered[k].entry;
            const bool edge = numbered[k].afterZeros || to - stretchFirst[k - begin] < edgeFrames ||
                              stretchLast[k - 1 - begin] - from < edgeFrames;
            FidelityCounts& counts = edge ? c.edges : c.middle;
            const std::uint32_t step = stepInto(k);
            if (step == 0) {
                ++counts.repeated;
                ++counts.slips;
            } else if (step >= kBlockNumberModulus / 2) {
                ++counts.goingBack;
            } else if (step > 1) {
                counts.skipped += step - 1;
                ++counts.slips;
            }
            if (!edge) {
                ++c.middle.frames;
                c.middleFrom = haveMiddle ? c.middleFrom : from;
                c.middleTo = to + 1;
                haveMiddle = true;
            }
        }
        connections.push_back(c);
        begin = end;
    }
    return connections;
}

namespace {
double medianOf(std::vector<double> values) {
    if (values.empty()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const auto middle = values.begin() + static_cast<long>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

nlohmann::json numberOrNull(double value) {
    return std::isnan(value) ? nlohmann::json(nullptr) : nlohmann::json(value);
}
} // namespace

nlohmann::json connectionsJson(const std::vector<std::uint32_t>& entries, const std::vector<float>& stamps,
                               const std::vector<double>& committedMs, double periodMs,
                               std::size_t edgeFrames, const std::vector<float>& returned) {
    nlohmann::json list = nlohmann::json::array();
    const std::size_t secondFrames =
        periodMs > 0.0 ? static_cast<std::size_t>(std::lround(1000.0 / periodMs)) : 1;
    const std::size_t stamped = std::min(stamps.size(), committedMs.size());
    auto latencyMedian = [&](std::size_t from, std::size_t to) {
        std::vector<double> latency;
        for (std::size_t i = from; i < std::min(to, stamped); ++i) {
            if (entries[i] < kBlockNumberModulus && !std::isnan(stamps[i])) {
                latency.push_back(
                    std::fmod(committedMs[i] - static_cast<double>(stamps[i]) + 1000.0, 1000.0));
            }
        }
        return medianOf(std::move(latency));
    };
    // The sender's punctuality over entries [from, to).
    auto senderOver = [&](std::size_t from, std::size_t to) {
        auto slice = [&](const auto& values) {
            using Values = std::decay_t<decltype(values)>;
            return Values(values.begin() + static_cast<long>(from), values.begin() + static_cast<long>(to));
        };
        return senderWritesJson(slice(entries), slice(stamps), slice(committedMs), 0, periodMs,
                                to <= returned.size() ? slice(returned) : std::vector<float>{});
    };
    for (const ConnectionCounts& c : countConnections(entries, edgeFrames)) {
        nlohmann::json sender = nullptr;
        nlohmann::json leadSender = nullptr;
        double firstLatency = std::numeric_limits<double>::quiet_NaN();
        double lastLatency = firstLatency;
        if (c.middleTo > c.middleFrom && c.middleTo <= stamped) {
            sender = senderOver(c.middleFrom, c.middleTo);
            leadSender = c.middleFrom > c.first ? senderOver(c.first, c.middleFrom) : nullptr;
            firstLatency = latencyMedian(c.middleFrom, std::min(c.middleTo, c.middleFrom + secondFrames));
            lastLatency =
                latencyMedian(c.middleTo - std::min(c.middleTo - c.middleFrom, secondFrames), c.middleTo);
        }
        list.push_back(
            {{"start_seconds", static_cast<double>(c.first) * periodMs / 1000.0},
             {"end_seconds", static_cast<double>(c.last + 1) * periodMs / 1000.0},
             {"first_block", c.firstBlock},
             {"last_block", c.lastBlock},
             {"stalls", c.stalls},
             {"edges",
              {{"repeated", c.edges.repeated}, {"skipped", c.edges.skipped}, {"slips", c.edges.slips}}},
             {"middle",
              {{"seconds", static_cast<double>(c.middleTo - c.middleFrom) * periodMs / 1000.0},
               {"frames", c.middle.frames},
               {"repeated", c.middle.repeated},
               {"skipped", c.middle.skipped},
               {"slips", c.middle.slips},
               {"going_back", c.middle.goingBack}}},
             {"middle_sender", sender},
             {"lead_sender", leadSender},
             {"middle_latency_ms",
              {{"first_second_median", numberOrNull(firstLatency)},
               {"last_second_median", numberOrNull(lastLatency)}}}});
    }
    return list;
}

} // namespace ferrox_tools
