// Key names: modifiers and keys are looked up in tables, case ignored, joined by '+'. Exactly one
// key that is not a modifier ends a combination; an unknown word is named in the message.
#include "keys.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>

namespace {

const std::map<std::string, unsigned> modifier_masks = {
    {"alt", 1}, {"ctrl", 2}, {"control", 2}, {"shift", 4}, {"super", 8}, {"win", 8},
};

// Keys by Win32 virtual key, other than letters, digits, f1..f24 and kp_0..kp_9 (computed below).
const std::map<std::string, unsigned> named_keys = {
    {"backspace", 0x08}, {"tab", 0x09}, {"enter", 0x0D}, {"return", 0x0D}, {"pause", 0x13},
    {"capslock", 0x14}, {"escape", 0x1B}, {"esc", 0x1B}, {"space", 0x20}, {"pageup", 0x21},
    {"page_up", 0x21}, {"prior", 0x21}, {"pagedown", 0x22}, {"page_down", 0x22}, {"next", 0x22},
    {"end", 0x23}, {"home", 0x24}, {"left", 0x25}, {"up", 0x26}, {"right", 0x27}, {"down", 0x28},
    {"print", 0x2C}, {"insert", 0x2D}, {"delete", 0x2E}, {"numlock", 0x90}, {"scrolllock", 0x91},
    {"kp_multiply", 0x6A}, {"kp_add", 0x6B}, {"kp_subtract", 0x6D}, {"kp_decimal", 0x6E},
    {"kp_divide", 0x6F}, {"semicolon", 0xBA}, {"equal", 0xBB}, {"comma", 0xBC}, {"minus", 0xBD},
    {"period", 0xBE}, {"slash", 0xBF}, {"grave", 0xC0}, {"bracketleft", 0xDB}, {"backslash", 0xDC},
    {"bracketright", 0xDD}, {"apostrophe", 0xDE},
};

std::string lower(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

// "f1".."f24", "kp_0".."kp_9": a prefix and a number in range.
unsigned numbered_key(const std::string &word, const char *prefix, int low, int high, unsigned first_vk)
{
    int number = 0, length = 0;
    std::string format = std::string(prefix) + "%d%n";
    if (std::sscanf(word.c_str(), format.c_str(), &number, &length) != 1 || length != (int)word.size())
        return 0;
    if (word.size() > std::char_traits<char>::length(prefix) + 1 && word[std::char_traits<char>::length(prefix)] == '0')
        return 0;  // "f05" is no key name
    return number >= low && number <= high ? first_vk + (unsigned)(number - low) : 0;
}

unsigned key_code(const std::string &word)
{
    if (word.size() == 1 && std::isalpha((unsigned char)word[0]))
        return (unsigned)std::toupper((unsigned char)word[0]);
    if (word.size() == 1 && std::isdigit((unsigned char)word[0]))
        return (unsigned)word[0];
    if (auto named = named_keys.find(word); named != named_keys.end())
        return named->second;
    if (unsigned f = numbered_key(word, "f", 1, 24, 0x70))
        return f;
    return numbered_key(word, "kp_", 0, 9, 0x60);
}

}  // namespace

std::variant<Binding, std::string> parse_binding(std::string_view name)
{
    std::string text = lower(name);
    if (text == "none")
        return Binding{};
    Binding binding;
    size_t start = 0;
    for (;;) {
        size_t plus = text.find('+', start);
        std::string word = text.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
        bool last = plus == std::string::npos;
        if (word.empty())
            return "empty key name in \"" + std::string(name) + "\"";
        if (auto modifier = modifier_masks.find(word); modifier != modifier_masks.end() && !last) {
            binding.modifiers |= modifier->second;
        } else if (!last) {
            return "\"" + word + "\" in \"" + std::string(name) + "\" is no modifier (ctrl, alt, shift, super)";
        } else if (modifier_masks.count(word)) {
            return "\"" + std::string(name) + "\" has modifiers but no key";
        } else if (unsigned vk = key_code(word)) {
            binding.vk = vk;
            return binding;
        } else {
            return "unknown key name \"" + word + "\" in \"" + std::string(name) + "\"";
        }
        start = plus + 1;
    }
}
