#include "keys.h"

#include <gtest/gtest.h>

struct KeyCase {
    const char *name;
    unsigned modifiers;
    unsigned vk;
};

void PrintTo(const KeyCase &c, std::ostream *os)
{
    *os << c.name;
}

class KeyNames : public testing::TestWithParam<KeyCase> {};

TEST_P(KeyNames, parse_to_the_modifier_mask_and_virtual_key)
{
    auto parsed = parse_binding(GetParam().name);
    ASSERT_TRUE(std::holds_alternative<Binding>(parsed)) << std::get<std::string>(parsed);
    EXPECT_EQ(std::get<Binding>(parsed), (Binding{GetParam().modifiers, GetParam().vk}));
}

INSTANTIATE_TEST_SUITE_P(Table, KeyNames, testing::Values(
    KeyCase{"ctrl+p", 2, 0x50}, KeyCase{"CTRL+P", 2, 0x50}, KeyCase{"alt+shift+f5", 5, 0x74},
    KeyCase{"ctrl+kp_5", 2, 0x65}, KeyCase{"kp_0", 0, 0x60}, KeyCase{"super+f24", 8, 0x87},
    KeyCase{"win+f1", 8, 0x70}, KeyCase{"control+alt+shift+super+z", 15, 0x5A}, KeyCase{"shift+7", 4, 0x37},
    KeyCase{"ctrl+left", 2, 0x25}, KeyCase{"up", 0, 0x26}, KeyCase{"ctrl+page_down", 2, 0x22},
    KeyCase{"alt+kp_add", 1, 0x6B}, KeyCase{"ctrl+space", 2, 0x20}, KeyCase{"ctrl+ctrl+a", 2, 0x41},
    KeyCase{"shift+bracketleft", 4, 0xDB}, KeyCase{"none", 0, 0}));

struct BadKeyCase {
    const char *name;
    const char *message;
};

void PrintTo(const BadKeyCase &c, std::ostream *os)
{
    *os << c.name;
}

class BadKeyNames : public testing::TestWithParam<BadKeyCase> {};

TEST_P(BadKeyNames, are_refused_with_a_message_that_names_the_fault)
{
    auto parsed = parse_binding(GetParam().name);
    ASSERT_TRUE(std::holds_alternative<std::string>(parsed));
    EXPECT_EQ(std::get<std::string>(parsed), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Table, BadKeyNames, testing::Values(
    BadKeyCase{"ctrl+foo", "unknown key name \"foo\" in \"ctrl+foo\""},
    BadKeyCase{"f25", "unknown key name \"f25\" in \"f25\""},
    BadKeyCase{"f0", "unknown key name \"f0\" in \"f0\""},
    BadKeyCase{"f05", "unknown key name \"f05\" in \"f05\""},
    BadKeyCase{"kp_10", "unknown key name \"kp_10\" in \"kp_10\""},
    BadKeyCase{"ctrl+shift", "\"ctrl+shift\" has modifiers but no key"},
    BadKeyCase{"p+ctrl", "\"p\" in \"p+ctrl\" is no modifier (ctrl, alt, shift, super)"},
    BadKeyCase{"ctrl++p", "empty key name in \"ctrl++p\""},
    BadKeyCase{"ctrl+", "empty key name in \"ctrl+\""},
    BadKeyCase{"", "empty key name in \"\""}));
