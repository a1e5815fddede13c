#include "bridge_lines.h"

#include <gtest/gtest.h>

namespace {

// A line's kind and what it carries, as one comparable text.
std::string describe(const BridgeLine &line)
{
    struct {
        std::string operator()(const ReadyLine &) { return "ready"; }
        std::string operator()(const StateLine &l)
        {
            return "state " + std::to_string(l.foreground) + " " + std::to_string(l.hwnd) + " " +
                   std::to_string(l.pid) + " " + std::to_string(l.busy) + " @" + std::to_string(l.epoch);
        }
        std::string operator()(const ActionLine &l) { return "action " + l.action + " @" + std::to_string(l.epoch); }
        std::string operator()(const StatusLine &l) { return "status " + l.message + " @" + std::to_string(l.epoch); }
        std::string operator()(const ErrorLine &l) { return "error " + l.message + " @" + std::to_string(l.epoch); }
        std::string operator()(const TextLine &l)
        {
            char wall[32];
            std::snprintf(wall, sizeof wall, "%.6f", l.wall_time);
            return "text " + l.text + " " + wall + " " + std::to_string(l.latency_ms) + " " +
                   std::to_string(l.macro_ms) + " @" + std::to_string(l.epoch);
        }
    } visitor;
    return std::visit(visitor, line);
}

}  // namespace

struct LineCase {
    const char *line;
    const char *parsed;  // describe() of the result
};

void PrintTo(const LineCase &c, std::ostream *os)
{
    *os << c.line;
}

class BridgeLines : public testing::TestWithParam<LineCase> {};

TEST_P(BridgeLines, parse_into_their_kind)
{
    auto parsed = parse_bridge_line(GetParam().line);
    ASSERT_TRUE(parsed.has_value()) << GetParam().line;
    EXPECT_EQ(describe(*parsed), GetParam().parsed);
}

INSTANTIATE_TEST_SUITE_P(EachKind, BridgeLines, testing::Values(
    LineCase{R"({"bridge_ready":true})", "ready"},
    LineCase{R"({"native_state":true,"foreground":true,"hwnd":65594,"pid":292,"busy":false,"epoch":7})",
             "state 1 65594 292 0 @7"},
    LineCase{R"({"native_state":true,"foreground":false,"hwnd":18446744073709551615,"pid":4294967295,"busy":true,"epoch":-1})",
             "state 0 18446744073709551615 4294967295 1 @-1"},
    LineCase{R"({"native_action":"survey","epoch":2147483647})", "action survey @2147483647"},
    LineCase{R"({"status":"Relâchez le raccourci…","epoch":-2147483648})", "status Relâchez le raccourci… @-2147483648"},
    LineCase{R"({"error":"Aucune nouvelle position reçue · vérifiez que le chat est fermé","epoch":7})",
             "error Aucune nouvelle position reçue · vérifiez que le chat est fermé @7"},
    LineCase{R"({"text":"Coordinates: x:1.5 y:-2 z:3","wall_time":1796734512.123456,"latency_ms":38,"macro_ms":341,"epoch":7})",
             "text Coordinates: x:1.5 y:-2 z:3 1796734512.123456 38 341 @7"},
    LineCase{R"({"text":"Coordinates:\tx:1\r\n","wall_time":0.000000,"latency_ms":0,"macro_ms":0,"epoch":0})",
             "text Coordinates:\tx:1\r\n 0.000000 0 0 @0"}));

class MalformedLines : public testing::TestWithParam<const char *> {};

TEST_P(MalformedLines, are_no_lines_of_the_bridge)
{
    EXPECT_FALSE(parse_bridge_line(GetParam()).has_value()) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Table, MalformedLines, testing::Values(
    "", "   ", "garbage", "[1,2]", "{}", "\"text\"", R"({"bridge_ready":true)",
    R"({"bridge_ready":false})", R"({"bridge_ready":true,"epoch":1})",
    R"({"native_state":true,"foreground":true,"hwnd":1,"pid":2,"busy":false})",
    R"({"native_state":true,"foreground":1,"hwnd":1,"pid":2,"busy":false,"epoch":1})",
    R"({"native_state":true,"foreground":true,"hwnd":-1,"pid":2,"busy":false,"epoch":1})",
    R"({"native_state":true,"foreground":true,"hwnd":1,"pid":4294967296,"busy":false,"epoch":1})",
    R"({"native_state":true,"foreground":true,"hwnd":1.5,"pid":2,"busy":false,"epoch":1})",
    R"({"native_state":true,"hwnd":1,"foreground":true,"pid":2,"busy":false,"epoch":1})",
    R"({"native_state":true,"foreground":true,"hwnd":1,"pid":2,"busy":false,"epoch":1,"extra":0})",
    R"({"native_action":"jump","epoch":1})", R"({"native_action":7,"epoch":1})",
    R"({"native_action":"next","epoch":2147483648})", R"({"native_action":"next","epoch":-2147483649})",
    R"({"native_action":"next","epoch":"1"})", R"({"native_action":"next","epoch":1.0})",
    R"({"status":"a","status":"b","epoch":1})", R"({"status":null,"epoch":1})", R"({"error":"x"})",
    R"({"text":"Coordinates: x:1","wall_time":-1,"latency_ms":0,"macro_ms":0,"epoch":1})",
    R"({"text":"Coordinates: x:1","wall_time":"1","latency_ms":0,"macro_ms":0,"epoch":1})",
    R"({"text":"Coordinates: x:1","wall_time":1,"latency_ms":-3,"macro_ms":0,"epoch":1})",
    R"({"text":"Coordinates: x:1","wall_time":1,"macro_ms":0,"latency_ms":0,"epoch":1})",
    "{\"status\":\"\xff\",\"epoch\":1}", R"({"status":"ok","epoch":1} trailing)",
    R"({"unknown":true,"epoch":1})"));

struct EpochCase {
    const char *line;
    int32_t epoch;
    bool current;
};

void PrintTo(const EpochCase &c, std::ostream *os)
{
    *os << c.line << " at epoch " << c.epoch;
}

class EpochFilter : public testing::TestWithParam<EpochCase> {};

TEST_P(EpochFilter, keeps_only_lines_of_the_current_context)
{
    auto parsed = parse_bridge_line(GetParam().line);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(in_epoch(*parsed, GetParam().epoch), GetParam().current);
}

INSTANTIATE_TEST_SUITE_P(Table, EpochFilter, testing::Values(
    EpochCase{R"({"bridge_ready":true})", 5, true},
    EpochCase{R"({"native_state":true,"foreground":false,"hwnd":0,"pid":0,"busy":false,"epoch":0})", 1, false},
    EpochCase{R"({"native_state":true,"foreground":false,"hwnd":0,"pid":0,"busy":false,"epoch":3})", 3, true},
    EpochCase{R"({"native_action":"position","epoch":2})", 3, false},
    EpochCase{R"({"status":"s","epoch":4})", 3, false},
    EpochCase{R"({"error":"e","epoch":3})", 3, true},
    EpochCase{R"({"text":"Coordinates: x:1","wall_time":1,"latency_ms":0,"macro_ms":0,"epoch":2})", 3, false}));
