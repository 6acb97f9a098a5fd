#include "companion/CompanionController.h"
#include "companion/Paths.h"

#include "platform/Environment.h"
#include "tests/support/Sandbox.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using namespace QuillmarkPluginDevices;
using ferrox_test::Sandbox;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

class SensorStateReaderTest : public ::testing::Test {
protected:
    std::vector<SensorRecord> read(const std::string& content) {
        ferrox_test::writeFile(path, content);
        return controller.readSensorStates();
    }

    static std::vector<int32_t> ids(const std::vector<SensorRecord>& records) {
        std::vector<int32_t> result;
        for (const auto& r : records) {
            result.push_back(r.SensorId);
        }
        return result;
    }

    Sandbox sandbox;
    std::string path = *sensorStateFilePath();
    CompanionController controller;
};

TEST_F(SensorStateReaderTest, MissingFileOrUnsetAppDataGiveNothing) {
    EXPECT_TRUE(controller.readSensorStates().empty());
    ferrox_test::writeFile(path, R"({"Sensors": [{"SensorId": 1}]})");
    ASSERT_EQ(controller.readSensorStates().size(), 1u);
    platform::unsetEnv("APPDATA"); // the sandbox restores it
    EXPECT_TRUE(controller.readSensorStates().empty());
}

TEST_F(SensorStateReaderTest, AllFieldsAndTheirDefaults) {
    const auto full = read(R"({"Sensors": [{
        "Version": 3, "SensorId": 41, "SensorName": "Biceps \u00e9", "ChannelNames": ["EMG", "ACC X"],
        "StickerNumber": 5, "SlotNumber": 6, "ModeNumber": 7, "IsDio0Enabled": true, "IsDio1Enabled": false,
        "IsDio6Enabled": true, "IsQuarantined": true, "SegmentNumber": 8, "IndexNumber": 9, "Other": [1, 2]},
        {}]})");
    ASSERT_EQ(full.size(), 2u);
    const SensorRecord& r = full[0];
    EXPECT_EQ(r.Version, 3);
    EXPECT_EQ(r.SensorId, 41);
    EXPECT_EQ(r.SensorName, "Biceps \xC3\xA9");
    EXPECT_THAT(r.ChannelNames, ElementsAre("EMG", "ACC X"));
    EXPECT_EQ(r.StickerNumber, 5);
    EXPECT_EQ(r.SlotNumber, 6);
    EXPECT_EQ(r.ModeNumber, 7);
    EXPECT_TRUE(r.IsDio0Enabled);
    EXPECT_FALSE(r.IsDio1Enabled);
    EXPECT_TRUE(r.IsDio6Enabled);
    EXPECT_TRUE(r.IsQuarantined);
    EXPECT_EQ(r.SegmentNumber, 8);
    EXPECT_EQ(r.IndexNumber, 9);

    const SensorRecord& empty = full[1];
    EXPECT_EQ(empty.Version, 0);
    EXPECT_EQ(empty.SensorId, 0);
    EXPECT_EQ(empty.SensorName, "");
    EXPECT_TRUE(empty.ChannelNames.empty());
    EXPECT_EQ(empty.StickerNumber + empty.SlotNumber + empty.ModeNumber + empty.SegmentNumber +
                  empty.IndexNumber,
              0);
    EXPECT_FALSE(empty.IsDio0Enabled || empty.IsDio1Enabled || empty.IsDio6Enabled || empty.IsQuarantined);
}

TEST_F(SensorStateReaderTest, IntegerConversions) {
    struct Case {
        const char* json;
        int32_t expected;
    } const cases[] = {
        {"12.9", 12},
        {"-12.9", -12},
        {"true", 1},
        {"false", 0},
        {"4294967297", 1},
        {"-4294967297", -1},
        {"18446744073709551615", -1},
        {"2147483647.9", 2147483647},
        {"-2147483648.9", -2147483647 - 1},
        {"1e3", 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        const auto records = read(std::string(R"({"Sensors": [{"SensorId": )") + c.json + "}]}");
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].SensorId, c.expected);
    }
}

struct ShapeCase {
    const char* name;
    std::string content;
    std::vector<int32_t> ids;
};

TEST_F(SensorStateReaderTest, DocumentShapesAndWhereReadingStops) {
    const std::string two = R"([{"SensorId": 1}, {"SensorId": 2}])";
    const ShapeCase cases[] = {
        {"empty file", "", {}},
        {"not JSON", "Sensors", {}},
        {"parse error late in the file", R"({"Sensors": [{"SensorId": 1}, {"SensorId": 2})", {}},
        {"comments are not allowed", "// state\n{\"Sensors\": " + two + "}", {}},
        {"document is an array", two, {}},
        {"document is a string", R"("Sensors")", {}},
        {"document is a number", "5", {}},
        {"document is a boolean", "true", {}},
        {"document is null", "null", {}},
        {"no Sensors member", R"({"sensors": [{}]})", {}},
        {"Sensors is null", R"({"Sensors": null})", {}},
        {"Sensors is a string", R"({"Sensors": "x"})", {}},
        {"Sensors is a number", R"({"Sensors": 3})", {}},
        {"Sensors is a boolean", R"({"Sensors": false})", {}},
        {"array in order, duplicates kept",
         R"({"Sensors": [{"SensorId": 2}, {"SensorId": 1}, {"SensorId": 2}]})",
         {2, 1, 2}},
        {"object values in key byte order",
         R"({"Sensors": {"b": {"SensorId": 2}, "a": {"SensorId": 1}, "B": {"SensorId": 3}, "\u00e9": {"SensorId": 4}}})",
         {3, 1, 2, 4}},
        {"byte-order mark", "\xEF\xBB\xBF{\"Sensors\": " + two + "}", {1, 2}},
        {"half a byte-order mark", "\xEF\xBB{\"Sensors\": " + two + "}", {}},
        {"text after the document is ignored", "{\"Sensors\": " + two + "} trailing {garbage", {1, 2}},
        {"an element that is not an object", R"({"Sensors": [{"SensorId": 1}, 7, {"SensorId": 3}]})", {1}},
        {"quarantine flag of the wrong type",
         R"({"Sensors": [{"SensorId": 1}, {"SensorId": 2, "IsQuarantined": "yes"}, {"SensorId": 3}]})",
         {1}},
        {"identifier as a string", R"({"Sensors": [{"SensorId": 1}, {"SensorId": "12"}]})", {1}},
        {"identifier null", R"({"Sensors": [{"SensorId": 1}, {"SensorId": null}]})", {1}},
        {"name as a number", R"({"Sensors": [{"SensorId": 1}, {"SensorName": 5}]})", {1}},
        {"channel names not an array", R"({"Sensors": [{"SensorId": 1}, {"ChannelNames": "EMG"}]})", {1}},
        {"channel name not a string", R"({"Sensors": [{"SensorId": 1}, {"ChannelNames": ["EMG", 2]}]})", {1}},
        {"flag as a number", R"({"Sensors": [{"SensorId": 1}, {"IsDio0Enabled": 1}]})", {1}},
        {"last integer field wrong",
         R"({"Sensors": [{"SensorId": 1}, {"SensorId": 2, "IndexNumber": [1]}]})",
         {1}},
        {"float beyond 32 bits",
         R"({"Sensors": [{"SensorId": 1}, {"SensorId": 2, "SlotNumber": 3e9}]})",
         {1}},
        {"negative float beyond 32 bits",
         R"({"Sensors": [{"SensorId": 1}, {"SensorId": -2147483649.0}]})",
         {1}},
        {"float overflowing the parser fails the whole file",
         R"({"Sensors": [{"SensorId": 1}, {"SensorId": 1e400}]})",
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_THAT(ids(read(c.content)), ElementsAreArray(c.ids));
    }
}

// Every parsing case of the public JSON test suite, as the whole file and in the places the reader looks
// at: nothing may escape, crash or hang.
TEST_F(SensorStateReaderTest, SurvivesTheJsonTestSuite) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(FERROX_JSON_TEST_SUITE_DIR) / "test_parsing";
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        GTEST_SKIP() << "no JSON test suite at " << folder.string();
    }
    const char* const wrappers[][2] = {
        {"", ""},
        {"{\"Sensors\": ", "}"},
        {"{\"Sensors\": [{\"SensorId\": ", "}]}"},
        {"{\"Sensors\": [{\"ChannelNames\": ", "}]}"},
    };
    int files = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string content = ferrox_test::readFile(entry.path().string());
        SCOPED_TRACE(entry.path().filename().string());
        for (const auto& w : wrappers) {
            std::vector<SensorRecord> records;
            EXPECT_NO_THROW(records = read(w[0] + content + w[1]));
            EXPECT_LE(records.size(), content.size() + 1);
            if (*w[0] == '\0') {
                EXPECT_TRUE(records.empty()); // no case of the suite has a "Sensors" member
            }
        }
        ++files;
    }
    EXPECT_GT(files, 100);
}

} // namespace
