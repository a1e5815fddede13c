// Hotkey names as a player writes them ("ctrl+p", "alt+shift+f5", "ctrl+kp_5") and the Win32
// modifier mask and virtual key that the bridge's "bind" command takes.
#pragma once

#include <string>
#include <string_view>
#include <variant>

struct Binding {
    unsigned modifiers = 0;  // MOD_ALT 1, MOD_CONTROL 2, MOD_SHIFT 4, MOD_WIN 8
    unsigned vk = 0;         // 0: the slot stays unbound

    bool operator==(const Binding &other) const { return modifiers == other.modifiers && vk == other.vk; }
};

// A binding, or the message that says what is wrong with the name. "none" leaves a slot unbound.
std::variant<Binding, std::string> parse_binding(std::string_view name);
