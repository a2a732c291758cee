// The text of one page call: what comes back for good calls, bad calls and failing ones.
#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/linux/gtk/page_call.h"

namespace termiva::platform::gtk {
namespace {

using nlohmann::json;

// The operations answer on the caller's thread here; in the program they run on workers.
using SyncBridge = std::function<std::optional<json>(const std::string&, const json&)>;

json answer(const SyncBridge& sync, std::string_view message) {
    BridgeHandler bridge;
    if (sync) {
        bridge = [sync](const std::string& op, const json& args, BridgeReply reply) {
            reply(sync(op, args));
        };
    }
    std::optional<std::string> text;
    start_page_call(bridge, message, [&](std::string answer) {
        EXPECT_FALSE(text.has_value()) << "answered twice";
        text = std::move(answer);
    });
    EXPECT_TRUE(text.has_value()) << "never answered";
    return json::parse(text.value_or("null"));
}

const SyncBridge ECHO = [](const std::string& op, const json& args) -> std::optional<json> {
    if (op == "echo") return args;
    if (op == "fail") throw std::runtime_error("disk on fire");
    if (op == "bytes") return json(std::string("ok\xff\xfe"));
    return std::nullopt;
};

TEST(PageCall, AnswersWithTheResultOfTheOperation) {
    EXPECT_EQ(answer(ECHO, R"({"op":"echo","args":[1,"two",null]})"),
              json::parse(R"({"result":[1,"two",null]})"));
    EXPECT_EQ(answer(ECHO, R"({"op":"echo"})"), json::parse(R"({"result":[]})"));
    EXPECT_EQ(answer(ECHO, R"({"op":"echo","args":null})"), json::parse(R"({"result":[]})"));
}

TEST(PageCall, RefusesUnknownOperationsByName) {
    EXPECT_EQ(answer(ECHO, R"({"op":"_shutdown","args":[]})"),
              json::parse(R"({"error":"unknown operation: _shutdown"})"));
}

TEST(PageCall, RefusesMalformedMessagesWithoutCallingTheBridge) {
    int calls = 0;
    SyncBridge counting = [&](const std::string&, const json&) -> std::optional<json> {
        ++calls;
        return json(true);
    };
    for (const char* bad : {"", "{", "[1,2]", "\"echo\"", "42", R"({"args":[]})", R"({"op":7})",
                            R"({"op":"echo","args":{"a":1}})", R"({"op":"echo","args":"x"})"}) {
        json a = answer(counting, bad);
        EXPECT_TRUE(a.contains("error")) << bad;
        EXPECT_FALSE(a.contains("result")) << bad;
    }
    EXPECT_EQ(calls, 0);
}

TEST(PageCall, TurnsAFailingOperationIntoAnError) {
    EXPECT_EQ(answer(ECHO, R"({"op":"fail","args":[]})"),
              json::parse(R"({"error":"operation failed: disk on fire"})"));
    EXPECT_TRUE(answer(SyncBridge{}, R"({"op":"echo"})").contains("error"));
}

TEST(PageCall, ReplacesInvalidUtf8InResultsInsteadOfFailing) {
    json a = answer(ECHO, R"({"op":"bytes","args":[]})");
    ASSERT_TRUE(a.contains("result"));
    EXPECT_EQ(a["result"], "ok\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace termiva::platform::gtk
