#include "tools/ferrox-host/HostSession.h"

#include "host/HostDeviceManager.h"
#include "platform/Sleep.h"
#include "tools/ferrox-host/PluginModule.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <sstream>

namespace ferrox_host {

namespace {
using Clock = std::chrono::steady_clock;
using AnalogSystem::cPluginDeviceBase;

constexpr auto kConnectRetry = std::chrono::milliseconds(100);
constexpr auto kProgressEvery = std::chrono::seconds(1);
// The stream value that carries the sender's time when the latency stamp is on.
constexpr int kStampChannelId = 127;
// The stream value that may carry the sender's block numbers; the figures say whether it did.
constexpr int kSequenceChannelId = 126;
// Beside them, when the sender's previous write returned (as the stamp).
constexpr int kReturnChannelId = 125;
constexpr const char* kCollectingData = "Collecting Data";
constexpr const char* kStreamEnded = "[FerroxEMG] Sample stream ended";
// A stream that stalled is no stream either: a companion that hung gives way to its replacement.
constexpr const char* kStreamStalled = "[FerroxEMG] Sample stream stalled";
// A connection that brought its first block, or replaced a stalled one.
constexpr const char* kStreamConnected = "[FerroxEMG] Sample stream connected";
constexpr const char* kStreamReplaced = "[FerroxEMG] Sample stream replaced";

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

Clock::duration toDuration(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

std::string channelName(AnalogSystem::cPropertySet* descriptor) {
    const auto* channel = dynamic_cast<AnalogSystem::AnalogChannelDescriptor*>(descriptor);
    return channel ? channel->Name() : std::string();
}

// The name a channel goes by now: its renamed "AnalogChannel_Name", else the name it was created with.
std::string currentName(AnalogSystem::cPropertySet* descriptor) {
    if (descriptor->PropertyKind("AnalogChannel_Name") == AnalogSystem::cPropertySet::Kind::Text) {
        return descriptor->PropertyText("AnalogChannel_Name");
    }
    return channelName(descriptor);
}

long countOf(const std::vector<std::string>& texts, const char* text) {
    return static_cast<long>(std::count(texts.begin(), texts.end(), text));
}

class Session {
public:
    Session(const SessionOptions& options, SessionResult& result) : options_(options), result_(result) {}

    void run() {
        if (!loadPlugin()) {
            return;
        }
        enumerate();
        if (factories_.factories.empty()) {
            fail(kExitNoFactory, "the plug-in handed over no device factory (enumeration result " +
                                     std::to_string(result_.enumerateResult.value_or(0)) + ")");
        } else if (createDevice()) {
            operate();
        }
        takeDown();
    }

private:
    void say(const std::string& line) const {
        if (options_.progress) {
            options_.progress(line);
        }
    }

    void fail(int code, const std::string& reason) {
        if (result_.exitCode == 0) {
            result_.exitCode = code;
            result_.failure = reason;
        }
        result_.errors.push_back(reason);
    }

    bool loadPlugin() {
        std::string error;
        if (!plugin_.load(options_.pluginPath, error)) {
            fail(kExitNotLoadable, "cannot load the plug-in " + options_.pluginPath + ": " + error);
            return false;
        }
        std::array<int32_t, 3> version{-1, -1, -1};
        plugin_.version(version[0], version[1], version[2]);
        result_.version = version;
        return true;
    }

    void enumerate() {
        say("enumerating device factories (waits for the companion's report)");
        result_.enumerateResult = plugin_.enumerate(factories_);
        result_.factories = static_cast<int>(factories_.factories.size());
        for (const auto& factory : factories_.factories) {
            const char* name = factory->DeviceName();
            result_.factoryNames.emplace_back(name ? name : "");
        }
    }

    bool createDevice() {
        device_ = factories_.factories.front()->CreateDevice();
        if (!device_) {
            fail(kExitNoDevice, "the factory created no device");
            return false;
        }
        base_ = dynamic_cast<cPluginDeviceBase*>(device_.get());
        if (!base_) {
            fail(kExitNoDevice, "the device is not a plug-in device of this host SDK");
            return false;
        }
        device_->SetDeviceManager(&manager_);
        // The properties a host's device profile brings along; the plug-in only reacts to them.
        base_->SetProperty("Enabled", true);
        base_->SetProperty("AppRunMode", false);
        base_->SetProperty("Stop", false);
        base_->SetProperty("Configuration", options_.configuration.value_or(0));
        return true;
    }

    void operate() {
        for (const std::string& name : options_.changes) {
            say("property change: " + name);
            device_->PropertyChanged(name.c_str());
        }
        // Index properties set before capture, each reported as the host's property panel reports it.
        struct IndexChange {
            const char* label;
            const char* property;
            const std::optional<int>& value;
        };
        for (const IndexChange& change :
             {IndexChange{"configuration", "Configuration", options_.configuration},
              IndexChange{"delivery", "Delivery", options_.delivery}}) {
            if (change.value) {
                say(std::string(change.label) + ": " + std::to_string(*change.value));
                base_->SetProperty(change.property, *change.value);
                device_->PropertyChanged(change.property);
            }
        }
        enableChannels();

        if (options_.captureSeconds > 0.0) {
            if (options_.connectTimeoutSeconds > 0.0 && !connectStream()) {
                std::ostringstream reason;
                reason << "no sample stream within " << options_.connectTimeoutSeconds << " s ("
                       << result_.connectAttempts << " AppRunMode changes)";
                fail(kExitNoStream, reason.str());
            } else {
                capture();
            }
        }
        describeDevice();
    }

    void enableChannels() {
        const int count = device_->ChannelDescriptorCount();
        for (int index : options_.enable.indices) {
            if (index >= count) {
                result_.errors.push_back("--enable: the device has no channel " + std::to_string(index) +
                                         " (" + std::to_string(count) + " channels)");
            }
        }
        if (options_.enable.kind == ChannelSelection::Kind::None) {
            return;
        }
        for (int index = 0; index < count; ++index) {
            if (!options_.enable.includes(index)) {
                continue;
            }
            AnalogSystem::cPropertySet* descriptor = device_->ChannelDescriptor(index);
            if (!descriptor) {
                continue;
            }
            descriptor->SetProperty("AnalogChannel_Enabled", true);
            const std::string name = channelName(descriptor);
            device_->ChannelPropertyChanged(name.c_str(), "AnalogChannel_Enabled");
        }
    }

    // One "AppRunMode" change. The device posts "Collecting Data" on every change while it has no
    // stream, so a change that posts nothing shows that an earlier one was accepted: true then.
    bool reportAppRunModeChange() {
        const long before = countOf(manager_.Messages(), kCollectingData);
        appRunMode_ = !appRunMode_;
        base_->SetProperty("AppRunMode", appRunMode_);
        device_->PropertyChanged("AppRunMode");
        return countOf(manager_.Messages(), kCollectingData) == before;
    }

    bool connectStream() {
        const auto deadline = Clock::now() + toDuration(options_.connectTimeoutSeconds);
        say("waiting for the sample stream (AppRunMode every 100 ms)");
        for (;;) {
            ++result_.connectAttempts;
            if (reportAppRunModeChange()) {
                result_.streamAccepted = true;
                return true;
            }
            if (Clock::now() >= deadline) {
                return false;
            }
            platform::sleepFor(kConnectRetry);
        }
    }

    // Called every kConnectRetry during capture: notices the ends and stalls of the stream the device
    // logged since the last call and, while there is no live stream, makes one more "AppRunMode" change
    // (the device also takes a waiting connection by itself). The capture loop never waits here longer
    // than one change takes.
    void keepStream(Clock::time_point now) {
        CaptureResult& capture = result_.capture;
        const std::vector<AnalogSystem::LogEntry> log = base_->LoggedMessages();
        for (; logSeen_ < log.size(); ++logSeen_) {
            const std::string& text = log[logSeen_].text;
            if (text.rfind(kStreamConnected, 0) == 0 || text.rfind(kStreamReplaced, 0) == 0) {
                // The device may take the next connection before a look at the frames sees any zeros.
                connectedAgain_ = capture.reconnecting;
                continue;
            }
            if (text.rfind(kStreamEnded, 0) != 0 && text.rfind(kStreamStalled, 0) != 0) {
                continue;
            }
            ++capture.streamEnds;
            if (!capture.reconnecting) {
                capture.reconnecting = true;
                endSeenAt_ = now;
                lastAttemptAt_ = now;
                zerosAtEnd_ = capture.zeroFrames;
                attemptsAtEnd_ = capture.reconnectAttempts;
                liveAfterZeros_.reset();
                connectedAgain_ = false;
                say("sample stream ended or stalled; changing AppRunMode every 100 ms until it is taken up "
                    "again");
            }
        }
        if (!capture.reconnecting) {
            return;
        }
        // Live frames after the zeros began: the device took a new connection by itself.
        const int64_t live = capture.frames - capture.zeroFrames;
        if (!liveAfterZeros_ && capture.zeroFrames > zerosAtEnd_) {
            liveAfterZeros_ = live;
        }
        if ((connectedAgain_ || (liveAfterZeros_ && live > *liveAfterZeros_)) &&
            capture.reconnectAttempts == attemptsAtEnd_) {
            capture.reconnecting = false;
            ++capture.reconnects;
            ++capture.takenByDevice;
            capture.reconnectSeconds.push_back(secondsBetween(endSeenAt_, now));
            capture.reconnectChanges.emplace_back(secondsBetween(captureStart_, endSeenAt_), 0);
            say("sample stream taken up again by the device itself");
            return;
        }
        if (now - endSeenAt_ < toDuration(options_.reconnectAfterSeconds)) {
            return;
        }
        ++capture.reconnectAttempts;
        if (!reportAppRunModeChange()) {
            lastAttemptAt_ = now;
            return;
        }
        // This change only confirmed the connection; the one before it was accepted.
        capture.reconnecting = false;
        ++capture.reconnects;
        capture.reconnectSeconds.push_back(secondsBetween(endSeenAt_, lastAttemptAt_));
        capture.reconnectChanges.emplace_back(secondsBetween(captureStart_, endSeenAt_),
                                              capture.reconnectAttempts - attemptsAtEnd_);
        std::ostringstream line;
        line.precision(2);
        line << std::fixed << "sample stream taken up again after " << capture.reconnectSeconds.back()
             << " s";
        say(line.str());
    }

    void capture() {
        CaptureResult& capture = result_.capture;
        capture.ran = true;
        for (int i = 0, n = device_->ActiveChannelCount(); i < n; ++i) {
            if (AnalogSystem::cPropertySet* descriptor = device_->ActiveChannelDescriptor(i)) {
                capture.columns.push_back(currentName(descriptor));
            } else {
                capture.columns.emplace_back();
            }
        }

        logSeen_ = base_->LoggedMessages().size(); // only ends during capture are taken up again
        ferrox_tools::CaptureRecorder::Options measure;
        measure.seconds = options_.captureSeconds;
        measure.keepFrames = options_.keepFrames;
        for (int i = 0, n = device_->ActiveChannelCount(); i < n; ++i) {
            const int id = device_->ChannelID(i);
            measure.stampChannel = options_.latencyStamp && id == kStampChannelId ? i : measure.stampChannel;
            measure.sequenceChannel = id == kSequenceChannelId ? i : measure.sequenceChannel;
            measure.returnChannel = id == kReturnChannelId ? i : measure.returnChannel;
        }
        ferrox_tools::CaptureRecorder recorder(*base_, measure, capture);
        std::ostringstream announce;
        announce << "capturing for " << options_.captureSeconds << " s";
        say(announce.str());
        Clock::duration nextProgress = kProgressEvery;
        Clock::duration nextStreamCheck = kConnectRetry;
        recorder.run([&](Clock::time_point now) {
            captureStart_ = recorder.startedAt();
            const auto elapsed = now - recorder.startedAt();
            if (options_.reconnect && elapsed >= nextStreamCheck) {
                nextStreamCheck = elapsed + kConnectRetry;
                keepStream(now);
            }
            if (elapsed >= nextProgress) {
                nextProgress += kProgressEvery;
                std::ostringstream line;
                line.precision(1);
                line << std::fixed << "capturing: " << secondsBetween(recorder.startedAt(), now) << " s, "
                     << capture.frames << " frames, " << capture.missingFrames << " missing";
                if (options_.reconnect) {
                    line << ", " << capture.zeroFrames << " zero, " << capture.reconnects << " reconnects";
                }
                say(line.str());
            }
        });
        if (!capture.started) {
            result_.errors.push_back("StartCapture returned false");
        }
        if (!capture.stopped) {
            result_.errors.push_back("StopCapture returned false");
        }
    }

    void describeDevice() {
        DeviceInfo info;
        info.name = base_->PropertyText(cPluginDeviceBase::kNamePropName);
        info.displayName = base_->PropertyText(cPluginDeviceBase::kDisplayNamePropName);
        info.model = base_->PropertyText(cPluginDeviceBase::kModelPropName);
        info.serial = base_->PropertyText(cPluginDeviceBase::kSerialPropName);
        double rate = 0.0;
        if (base_->GetProperty(cPluginDeviceBase::kRatePropName, rate)) {
            info.rate = rate;
        }
        int multiple = 0;
        if (base_->GetProperty(cPluginDeviceBase::kMocapRateMultiplePropName, multiple)) {
            info.mocapRateMultiple = multiple;
        }
        for (int i = 0, n = device_->ChannelDescriptorCount(); i < n; ++i) {
            AnalogSystem::cPropertySet* descriptor = device_->ChannelDescriptor(i);
            if (!descriptor) {
                continue;
            }
            ChannelInfo channel;
            channel.name = channelName(descriptor);
            if (descriptor->PropertyKind("AnalogChannel_Name") == AnalogSystem::cPropertySet::Kind::Text) {
                channel.analogName = descriptor->PropertyText("AnalogChannel_Name");
            }
            bool enabled = false;
            channel.enabled = descriptor->GetProperty("AnalogChannel_Enabled", enabled) && enabled;
            info.channels.push_back(std::move(channel));
        }
        result_.device = std::move(info);
    }

    // Device, factories, then the plug-in: each is code of the library and must go before it does.
    void takeDown() {
        if (base_) {
            result_.log = base_->LoggedMessages();
        }
        result_.statusTexts = manager_.Messages();
        base_ = nullptr;
        device_.reset();
        factories_.factories.clear();

        UnloadRecorder unload;
        result_.unloadResult = plugin_.unload(unload);
        result_.unloadIdentifier = unload.identifier;
        if (!plugin_.unloadLibrary()) {
            result_.errors.push_back("the plug-in library could not be unloaded");
        }
    }

    const SessionOptions& options_;
    SessionResult& result_;
    PluginModule plugin_;
    // Declared after the plug-in and before what it creates, so that even an early return destroys the
    // device and factories while their code is still loaded.
    AnalogSystem::HostDeviceManager manager_;
    FactoryCollector factories_;
    std::unique_ptr<AnalogSystem::IDevice> device_;
    cPluginDeviceBase* base_ = nullptr;
    bool appRunMode_ = false;
    std::size_t logSeen_ = 0;
    Clock::time_point endSeenAt_;
    Clock::time_point lastAttemptAt_;
    Clock::time_point captureStart_;
    int64_t zerosAtEnd_ = 0;
    int64_t attemptsAtEnd_ = 0;
    std::optional<int64_t> liveAfterZeros_;
    bool connectedAgain_ = false;
};
} // namespace

bool ChannelSelection::includes(int index) const {
    switch (kind) {
    case Kind::All:
        return true;
    case Kind::None:
        return false;
    case Kind::List:
        return std::find(indices.begin(), indices.end(), index) != indices.end();
    }
    return false;
}

bool parseChannelSelection(const std::string& text, ChannelSelection& selection, std::string& error) {
    ChannelSelection parsed;
    if (text == "all") {
        selection = parsed;
        return true;
    }
    if (text == "none") {
        parsed.kind = ChannelSelection::Kind::None;
        selection = parsed;
        return true;
    }
    parsed.kind = ChannelSelection::Kind::List;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string item =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (item.empty() || item.size() > 6 || item.find_first_not_of("0123456789") != std::string::npos) {
            error = "expected all, none or a list of channel positions like 0,2,5; got \"" + text + "\"";
            return false;
        }
        parsed.indices.push_back(std::stoi(item));
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    selection = parsed;
    return true;
}

SessionResult runSession(const SessionOptions& options) {
    SessionResult result;
    Session session(options, result);
    session.run();
    return result;
}

} // namespace ferrox_host
