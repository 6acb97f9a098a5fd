// What the state file reader relies on in the JSON library, pinned so that a library update that
// changes any of it fails here rather than in a user's sensor list.
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Json = nlohmann::json;

Json parseStream(const std::string& text) {
    std::istringstream in(text);
    Json document;
    in >> document;
    return document;
}

int typeErrorId(const std::function<void()>& action) {
    try {
        action();
    } catch (const Json::type_error& e) {
        return e.id;
    } catch (...) {
        return -2;
    }
    return -1;
}

TEST(JsonLibrary, ConversionsToInt32) {
    struct Case {
        const char* json;
        int32_t expected;
    } const cases[] = {
        {"true", 1},    {"false", 0},      {"12.9", 12},
        {"-12.9", -12}, {"4294967297", 1}, {"18446744073709551615", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(Json::parse(c.json).get<int32_t>(), c.expected);
        EXPECT_EQ(Json::parse(std::string("{\"k\": ") + c.json + "}").value("k", int32_t{7}), c.expected);
    }
    EXPECT_EQ(Json::object().value("k", int32_t{7}), 7);
}

TEST(JsonLibrary, TypeErrors) {
    const Json sensor = Json::parse(R"({"i": "12", "b": 1, "s": 5, "a": ["x", 2], "n": null})");
    EXPECT_EQ(typeErrorId([&] { (void)sensor.value("i", int32_t{0}); }), 302);
    EXPECT_EQ(typeErrorId([&] { (void)sensor.value("n", int32_t{0}); }), 302);
    EXPECT_EQ(typeErrorId([&] { (void)sensor.value("b", false); }), 302);
    EXPECT_EQ(typeErrorId([&] { (void)sensor.value("s", std::string()); }), 302);
    EXPECT_EQ(typeErrorId([&] { (void)sensor.value("a", std::vector<std::string>()); }), 302);
    EXPECT_EQ(typeErrorId([&] { (void)sensor.value("s", std::vector<std::string>()); }), 302);
    EXPECT_EQ(typeErrorId([] { (void)Json(7).value("k", int32_t{0}); }), 306);
    EXPECT_EQ(typeErrorId([] {
                  Json array = Json::array();
                  (void)array["Sensors"];
              }),
              305);
}

TEST(JsonLibrary, StreamExtraction) {
    EXPECT_EQ(parseStream("\xEF\xBB\xBF{\"a\": 1}")["a"], 1);
    EXPECT_EQ(parseStream("{\"a\": 1} {\"a\": 2} not json")["a"], 1);
    EXPECT_EQ(parseStream("[1] ]]]"), Json::array({1}));
    EXPECT_THROW(parseStream("/* c */ {}"), Json::parse_error);
    EXPECT_THROW(parseStream("{\"a\": 1 // c\n}"), Json::parse_error);
    EXPECT_THROW(parseStream(""), Json::parse_error);
    EXPECT_THROW(parseStream("\xEF\xBB{}"), Json::parse_error);
    // A float beyond double's range is a parse failure, so no infinity ever reaches a field.
    EXPECT_THROW(parseStream("[1e400]"), Json::out_of_range);
    EXPECT_TRUE(parseStream("3e9").is_number_float());
}

TEST(JsonLibrary, LookupAndIteration) {
    Json null;
    EXPECT_TRUE(null["Sensors"].is_null());
    EXPECT_TRUE(null.is_object());
    EXPECT_EQ(null.size(), 1u);

    auto count = [](const Json& value) {
        int n = 0;
        for (const Json& element : value) {
            (void)element;
            ++n;
        }
        return n;
    };
    EXPECT_EQ(count(Json()), 0);
    EXPECT_EQ(count(Json(5)), 1);
    EXPECT_EQ(count(Json("x")), 1);

    std::string order;
    for (const Json& v : Json::parse(R"({"b": "b", "a": "a", "B": "B", "\u00e9": "e"})")) {
        order += v.get<std::string>();
    }
    EXPECT_EQ(order, "Babe");
}

} // namespace
