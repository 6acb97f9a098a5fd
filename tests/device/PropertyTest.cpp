// Property changes from the host's panel: commands, status texts, log lines and channel renaming.
#include "platform/Os.h"
#include "tests/device/DeviceTestSupport.h"

#include <gtest/gtest.h>

using namespace ferrox_test;

namespace {
std::string analogName(QuillmarkPluginDevices::FerroxEMG& device, int index) {
    return device.ChannelDescriptor(index)->PropertyText("AnalogChannel_Name");
}

// The command file is written in text mode.
std::string line(const std::string& word) {
    return word + platform::kTextNewline;
}
} // namespace

TEST(Properties, EveryChangeIsLoggedAndEnabledSetsTheDataState) {
    DeviceRig rig;
    rig.device->PropertyChanged("Zero");
    rig.device->PropertyChanged("Enabled");
    EXPECT_TRUE(rig.logged("[ FerroxEMG] Property changed (Zero)"));
    EXPECT_TRUE(rig.logged("[ FerroxEMG] Property changed (Enabled)"));
    int state = 0;
    ASSERT_TRUE(rig.device->GetProperty(AnalogSystem::cPluginDeviceBase::kDataStatePropName, state));
    EXPECT_EQ(state, 1);
    EXPECT_TRUE(rig.statusTexts().empty());
}

TEST(Properties, ScanActsAsAPushButton) {
    DeviceRig rig;
    rig.device->SetProperty("Scan_Sensor", true);
    rig.device->PropertyChanged("Scan_Sensor");
    EXPECT_EQ(rig.statusTexts(), (std::vector<std::string>{"Scanning Sensor", "Scanned Sensor Succesfully"}));
    bool scan = true;
    ASSERT_TRUE(rig.device->GetProperty("Scan_Sensor", scan));
    EXPECT_FALSE(scan);
    EXPECT_EQ(rig.commandFile(), line("Scan"));
}

TEST(Properties, StopSendsOnEveryOtherChange) {
    DeviceRig rig;
    rig.device->PropertyChanged("Stop");
    EXPECT_EQ(rig.commandFile(), line("Stop"));
    // The even changes only re-arm the toggle: no command, no text.
    rig.device->SetProperty("Configuration", 0);
    rig.device->PropertyChanged("Configuration");
    rig.device->PropertyChanged("Stop");
    EXPECT_EQ(rig.commandFile(), line("EMG"));
    rig.device->PropertyChanged("Stop");
    rig.device->PropertyChanged("Stop");
    EXPECT_EQ(rig.statusTexts(),
              (std::vector<std::string>{"Stopping Data Collection", "Stopping Data Collection"}));
    EXPECT_EQ(rig.commandFile(), line("Stop"));
}

TEST(Properties, RunModesRenameTheDescriptorsThatExist) {
    struct Case {
        int index;
        const char* command;
        std::vector<std::pair<int, std::string>> names;
    };
    const Case cases[] = {
        {0, "EMG", {{0, "EMG_Signal 0"}, {15, "EMG_Signal 15"}}},
        {1,
         "EMG plus Accelerometer",
         {{0, "Sensor 1 EMG"}, {5, "Sensor 2 ACCX"}, {8, "Sensor 3 EMG"}, {11, "Sensor 3 ACCZ"}}},
        {2, "EMG plus Gyrscope", {{6, "Sensor 2 GYRY"}, {15, "Sensor 4 GYRZ"}}},
    };
    for (const Case& c : cases) {
        DeviceRig rig(16);
        rig.device->SetProperty("Configuration", c.index);
        rig.device->PropertyChanged("Configuration");
        EXPECT_EQ(rig.commandFile(), line(c.command)) << c.index;
        for (const auto& [descriptor, name] : c.names) {
            EXPECT_EQ(analogName(*rig.device, descriptor), name) << c.index;
        }
        EXPECT_EQ(rig.device->ChannelDescriptorCount(), 16);
        EXPECT_TRUE(rig.logged("[FerroxEMG] Property integer value: " + std::to_string(c.index)));
        EXPECT_EQ(rig.countLogged("[Ferrox EMG] Mapped Property state: "), 1);
    }
    // The 129-name EMG mode covers a device with more than 128 descriptors.
    DeviceRig large(130);
    large.device->SetProperty("Configuration", 0);
    large.device->PropertyChanged("Configuration");
    EXPECT_EQ(analogName(*large.device, 128), "EMG_Signal 128");
    EXPECT_EQ(analogName(*large.device, 129), "");
}

TEST(Properties, InvalidOrUnreadableRunModeChangesNothing) {
    for (int index : {-1, 3}) {
        DeviceRig rig(4);
        rig.device->SetProperty("Configuration", index);
        rig.device->PropertyChanged("Configuration");
        EXPECT_TRUE(rig.logged("[Example Device] Invalid property value index: " + std::to_string(index)));
        EXPECT_EQ(rig.commandFile(), "");
        EXPECT_EQ(analogName(*rig.device, 0), "");
    }
    DeviceRig rig(4);
    rig.device->SetProperty("Configuration", "EMG");
    rig.device->PropertyChanged("Configuration");
    EXPECT_EQ(rig.countLogged("[FerroxEMG] Property integer value"), 0);
}

TEST(Properties, ChannelEnabledChangesAreLoggedForKnownChannelsOnly) {
    DeviceRig rig(2);
    rig.device->ChannelDescriptor(1)->SetProperty("AnalogChannel_Enabled", false);
    rig.device->ChannelPropertyChanged("EMG 1 Sensor 0", "AnalogChannel_Enabled");
    rig.device->ChannelPropertyChanged("EMG 0 Sensor 0", "AnalogChannel_Enabled");
    rig.device->ChannelPropertyChanged("EMG 0 Sensor 0", "AnalogChannel_Name");
    rig.device->ChannelPropertyChanged("no such channel", "AnalogChannel_Enabled");
    EXPECT_TRUE(
        rig.logged("[Corvale Sensor ] Channel Enabled State Changed (Channel:EMG 1 Sensor 0  Enabled:0)"));
    EXPECT_TRUE(
        rig.logged("[Corvale Sensor ] Channel Enabled State Changed (Channel:EMG 0 Sensor 0  Enabled:1)"));
    EXPECT_EQ(rig.countLogged("[Corvale Sensor ]"), 2);
}

TEST(Properties, PrepareForSyncNamesTheDevice) {
    DeviceRig rig;
    EXPECT_TRUE(rig.device->PrepareForSync());
    EXPECT_TRUE(rig.logged("[FerroxEMG] [PrepareForSync]. Ready for sync"));
    bool needSync = false;
    int syncStatus = 0;
    EXPECT_TRUE(
        rig.device->GetProperty(AnalogSystem::cPluginDeviceBase::kNeedDeviceSyncFramePropName, needSync));
    EXPECT_TRUE(needSync);
    EXPECT_TRUE(rig.device->GetProperty(AnalogSystem::cPluginDeviceBase::kSyncStatusPropName, syncStatus));
    EXPECT_EQ(syncStatus, 2);
    EXPECT_TRUE(rig.device->Configure());
}

TEST(Properties, ChangesWithoutADeviceManagerDoNotCrash) {
    DeviceRig rig;
    rig.device->SetDeviceManager(nullptr);
    rig.device->PropertyChanged("Scan_Sensor");
    rig.device->PropertyChanged("AppRunMode");
    rig.device->PropertyChanged("Stop");
    rig.device->PropertyChanged(nullptr);
    EXPECT_FALSE(rig.device->connected());
}
