#include "bridge_process.h"
#include "events.h"

#include <gtest/gtest.h>

namespace {

std::string show(const std::optional<double> &value)
{
    return value ? std::to_string(*value) : "-";
}

}  // namespace

struct CoordinatesCase {
    const char *text;
    const char *x, *y, *z;  // std::to_string of each, "-" when absent
};

void PrintTo(const CoordinatesCase &c, std::ostream *os)
{
    *os << c.text;
}

class CoordinatesText : public testing::TestWithParam<CoordinatesCase> {};

TEST_P(CoordinatesText, yields_each_axis_that_holds_a_number)
{
    Coordinates c = parse_coordinates(GetParam().text);
    EXPECT_EQ(show(c.x), GetParam().x);
    EXPECT_EQ(show(c.y), GetParam().y);
    EXPECT_EQ(show(c.z), GetParam().z);
}

INSTANTIATE_TEST_SUITE_P(Table, CoordinatesText, testing::Values(
    CoordinatesCase{"Coordinates: x:-12345.678 y:234.5 z:7.25", "-12345.678000", "234.500000", "7.250000"},
    CoordinatesCase{"Coordinates: x:1.5 y:-2 z:3", "1.500000", "-2.000000", "3.000000"},
    CoordinatesCase{"Coordinates: x:+1e3 y:.5 z:-0", "1000.000000", "0.500000", "-0.000000"},
    CoordinatesCase{"Coordinates: z:3 x:1 y:2", "1.000000", "2.000000", "3.000000"},
    CoordinatesCase{"Coordinates: x:12 y:abc z:", "12.000000", "-", "-"},
    CoordinatesCase{"Coordinates: x:nan y:inf z:0x10", "-", "-", "-"},
    CoordinatesCase{"Coordinates: ax:1 yy:2 z:1.2.3", "-", "-", "-"},
    CoordinatesCase{"Coordinates:", "-", "-", "-"}));

TEST(PositionEvent, says_passive_or_active_and_leaves_out_missing_axes)
{
    TextLine passive{"Coordinates: x:1 y:2", 1796734512.5, 0, 0, 1};
    EXPECT_EQ(position_event(passive).dump(),
              R"({"event":"position","source":"passive","text":"Coordinates: x:1 y:2","x":1.0,"y":2.0,)"
              R"("wall_time":1796734512.5,"latency_ms":0,"macro_ms":0})");
    TextLine active{"Coordinates: x:1 y:2 z:3", 2.25, 38, 341, 1};
    EXPECT_EQ(position_event(active)["source"], "active");
    EXPECT_EQ(position_event(active)["z"], 3.0);
}

struct LineBufferCase {
    std::vector<std::string> chunks;
    std::vector<std::string> lines;  // a cut line is shown with a trailing "[cut]"
};

void PrintTo(const LineBufferCase &c, std::ostream *os)
{
    *os << testing::PrintToString(c.chunks).substr(0, 60);
}

class LineBuffers : public testing::TestWithParam<LineBufferCase> {};

TEST_P(LineBuffers, hand_out_whole_lines_only)
{
    LineBuffer buffer;
    std::vector<std::string> lines;
    for (const auto &chunk : GetParam().chunks) {
        buffer.feed(chunk.data(), chunk.size());
        while (auto line = buffer.next())
            lines.push_back(line->cut ? line->text.substr(0, 3) + "[cut]" : line->text);
    }
    EXPECT_EQ(lines, GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(Table, LineBuffers, testing::Values(
    LineBufferCase{{"{\"a\":1}\r\n"}, {"{\"a\":1}"}},
    LineBufferCase{{"{\"a\"", ":1}\r", "\n{\"b\":2}\n"}, {"{\"a\":1}", "{\"b\":2}"}},
    LineBufferCase{{"one\ntwo\r\nthree"}, {"one", "two"}},
    LineBufferCase{{"\n\r\n"}, {"", ""}},
    LineBufferCase{{"a\rb\n"}, {"a\rb"}},
    LineBufferCase{{std::string(LineBuffer::limit + 5, 'x'), "yz\n"}, {"xxx[cut]", "xxxxxyz"}}));
