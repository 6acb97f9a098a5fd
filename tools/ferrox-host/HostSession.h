#pragma once

#include "host/Device.h"
#include "tools/common/CaptureRecorder.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
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
    std::optional<int> delivery; // "Delivery": 0 every sample, 1 newest sample
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
    // With reconnect: how long to leave the device to take a new connection by itself (live frames
    // again after the zeros) before the first "AppRunMode" change.
    double reconnectAfterSeconds = 0.0;
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

// The capture as this host saw it: the figures every measuring host shares, and what only this
// session does (the channels' names, taking up a stream that ended).
struct CaptureResult : ferrox_tools::CaptureFigures {
    bool ran = false;
    std::vector<std::string> columns; // the active channels' names when capture started
    // With SessionOptions::reconnect: ends of the stream seen in the device log, connections taken up
    // again, and how long each took from the end being seen to the accepting "AppRunMode" change.
    int64_t streamEnds = 0; // ends and stalls the device logged
    int64_t reconnects = 0;
    int64_t reconnectAttempts = 0;
    std::vector<double> reconnectSeconds;
    int64_t takenByDevice = 0; // of the reconnects, those the device made without an "AppRunMode" change
    // Each reconnect: when its end was seen (s since StartCapture) and the "AppRunMode" changes it took.
    std::vector<std::pair<double, int64_t>> reconnectChanges;
    bool reconnecting = false; // still waiting for a new connection when capture stopped
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
