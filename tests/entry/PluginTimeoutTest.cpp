// Enumeration through the built plug-in when no companion ever reports: it gives up at its fixed
// bound of 30 s instead of holding the host's thread for good. Runs beside the other tests, since it
// starts no companion, opens no port and never unloads (unload looks for companions by name).
#include "tests/support/Sandbox.h"
#include "tools/ferrox-host/PluginModule.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

TEST(PluginWithoutCompanion, EnumerationGivesUpAtItsBound) {
    ferrox_test::Sandbox sandbox;
    ferrox_host::PluginModule plugin;
    std::string error;
    ASSERT_TRUE(plugin.load(ferrox_test::besideExecutable(FERROX_PLUGIN_FILE), error)) << error;

    ferrox_host::FactoryCollector sink;
    const auto start = std::chrono::steady_clock::now();
    ::testing::internal::CaptureStderr();
    const int32_t result = plugin.enumerate(sink);
    const std::string complaint = ::testing::internal::GetCapturedStderr();
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(sink.factories.empty());
    EXPECT_THAT(complaint, HasSubstr(sandbox.programData()));
    EXPECT_THAT(complaint, HasSubstr("DeviceConfiguration.txt"));
    // Generous on the upper side: the point is that it ends, and not before its bound.
    EXPECT_GE(waited, 29s);
    EXPECT_LT(waited, 120s);

    EXPECT_TRUE(plugin.unloadLibrary());
}

} // namespace
