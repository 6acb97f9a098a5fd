#pragma once

#include "host/Device.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ferrox_host {

// Which channel descriptors the session enables: all, none, or the listed positions.
struct ChannelSelection {
    enum class Kind { All, None, List };
    Kind kind = Kind::All;
    std::vector<int> indices;

    bool includes(int index) const;
};

// "all", "none" or "I,J,..." (non-negative decimal positions); the reason in `error` otherwise.
bool parseChannelSelection(const std::string& text, ChannelSelection& selection, std::string& error);

struct SessionOptions {
    std::string pluginPath;
    std::optional<int> configuration;
    ChannelSelection enable;
    std::vector<std::string> changes;
    double connectTimeoutSeconds = 10.0;
    double captureSeconds = 10.0;
    bool keepFrames = false; // the CSV needs every frame's values
    // The stream carries the sender's steady-clock time (ms modulo 1000) in value 127: the active
    // channel with channel ID 127 then gives each frame's latency.
    bool latencyStamp = false;
    // During capture, a stream that ends is taken up again: "AppRunMode" changes every 100 ms until the
    // device accepts a new connection (a companion that was restarted, as a long recording sees it).
    bool reconnect = false;
    // Console lines while the session runs (progress, steps); may be empty.
    std::function<void(const std::string&)> progress;
};

struct ChannelInfo {
    std::string name;                      // the name the descriptor was created with
    std::optional<std::string> analogName; // its current "AnalogChannel_Name", when it has one
    bool enabled = false;
};

struct DeviceInfo {
    std::string name;
    std::string displayName;
    std::string model;
    std::string serial;
    std::optional<double> rate;
    std::optional<int> mocapRateMultiple;
    std::vector<ChannelInfo> channels;
};

struct FrameRow {
    int32_t id = 0;
    std::vector<float> values;
};

// Stretches of consecutive frames that share a condition, in frames.
struct GapStats {
    int64_t count = 0;
    int64_t longest = 0;
};

// One reading of this process's memory and handles during capture.
struct ResourceSample {
    double atSeconds = 0.0; // since StartCapture
    int64_t residentBytes = 0;
    int64_t openHandles = 0;
};

struct CaptureResult {
    bool ran = false;
    bool started = false; // what StartCapture returned
    bool stopped = false; // what StopCapture returned
    int64_t frames = 0;
    std::optional<int32_t> firstFrame;
    std::optional<int32_t> lastFrame;
    double seconds = 0.0;         // from StartCapture until StopCapture returned
    double framesPerSecond = 0.0; // over the span of the delivered frames' commit times
    int64_t missingFrames = 0;
    std::vector<int32_t> missingFrameIds; // the first kMaxListedMissing of them
    // Gaps between consecutive commits of delivered frames.
    double meanCommitIntervalMs = 0.0;
    double maxCommitIntervalMs = 0.0;
    int64_t commitIntervalsOver2Ms = 0;
    int64_t zeroFrames = 0; // delivered frames whose values are all zero: no live data
    GapStats zeroGaps;      // runs of consecutive zero frames
    GapStats missingGaps;   // runs of consecutive missing frame IDs
    // With SessionOptions::reconnect: ends of the stream seen in the device log, connections taken up
    // again, and how long each took from the end being seen to the accepting "AppRunMode" change.
    int64_t streamEnds = 0;
    int64_t reconnects = 0;
    int64_t reconnectAttempts = 0;
    std::vector<double> reconnectSeconds;
    bool reconnecting = false; // still waiting for a new connection when capture stopped
    std::optional<ResourceSample> resourcesStart;
    std::optional<ResourceSample> resourcesEnd;
    std::vector<std::string> columns; // the active channels' names when capture started
    std::vector<FrameRow> rows;       // kept only with SessionOptions::keepFrames
    // Tick lateness against the device's schedule, stream latency, and what the capture cost this
    // process (processor time per second of capture, resident memory over the run).
    nlohmann::json timing = nlohmann::json::object();

    static constexpr std::size_t kMaxListedMissing = 10000;
};

struct SessionResult {
    std::optional<std::array<int32_t, 3>> version;
    std::optional<int32_t> enumerateResult;
    int factories = 0;
    std::vector<std::string> factoryNames;
    std::optional<DeviceInfo> device;
    bool streamAccepted = false;
    int connectAttempts = 0;
    std::vector<std::string> statusTexts;
    std::vector<AnalogSystem::LogEntry> log;
    CaptureResult capture;
    std::optional<int32_t> unloadResult;
    std::optional<std::string> unloadIdentifier;
    std::vector<std::string> errors;

    // 0 when the session ran; otherwise why it did not, in one line.
    int exitCode = 0;
    std::string failure;
};

// Exit codes of a session that did not run.
constexpr int kExitNotLoadable = 2;
constexpr int kExitNoFactory = 3;
constexpr int kExitNoDevice = 4;
constexpr int kExitNoStream = 5;

// Loads the plug-in and runs the session a user runs from the host's property panel: enumerate, create
// the first factory's device, report the requested property changes, enable channels, wait for the
// sample stream, capture, then take everything down again and unload the plug-in.
SessionResult runSession(const SessionOptions& options);

} // namespace ferrox_host
