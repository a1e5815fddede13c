// Strict parsing of the bridge's output lines with nlohmann-json, keeping the keys' order: the
// bridge prints each kind from one fixed format, so anything else (a missing or extra key, a value
// of another type or range, an unknown action) is a fault to report, never a line to act on.
#include "bridge_lines.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>
#include <vector>

using json = nlohmann::ordered_json;

namespace {

bool has_keys(const json &object, std::vector<const char *> keys)
{
    if (object.size() != keys.size())
        return false;
    size_t index = 0;
    for (const auto &item : object.items())
        if (item.key() != keys[index++])
            return false;
    return true;
}

template <typename T>
std::optional<T> unsigned_field(const json &value)
{
    if (!value.is_number_unsigned() || value.get<uint64_t>() > std::numeric_limits<T>::max())
        return std::nullopt;
    return static_cast<T>(value.get<uint64_t>());
}

std::optional<int32_t> epoch_field(const json &value)
{
    if (!value.is_number_integer())
        return std::nullopt;
    if (value.is_number_unsigned() && value.get<uint64_t>() > (uint64_t)std::numeric_limits<int32_t>::max())
        return std::nullopt;
    int64_t epoch = value.get<int64_t>();
    if (epoch < std::numeric_limits<int32_t>::min() || epoch > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return static_cast<int32_t>(epoch);
}

bool known_action(const std::string &name)
{
    return name == "position" || name == "next" || name == "previous" || name == "survey";
}

std::optional<BridgeLine> state_line(const json &o)
{
    if (!has_keys(o, {"native_state", "foreground", "hwnd", "pid", "busy", "epoch"}))
        return std::nullopt;
    auto hwnd = unsigned_field<uint64_t>(o["hwnd"]);
    auto pid = unsigned_field<uint32_t>(o["pid"]);
    auto epoch = epoch_field(o["epoch"]);
    if (o["native_state"] != true || !o["foreground"].is_boolean() || !o["busy"].is_boolean() || !hwnd || !pid ||
        !epoch)
        return std::nullopt;
    return StateLine{o["foreground"].get<bool>(), *hwnd, *pid, o["busy"].get<bool>(), *epoch};
}

std::optional<BridgeLine> action_line(const json &o)
{
    if (!has_keys(o, {"native_action", "epoch"}))
        return std::nullopt;
    auto epoch = epoch_field(o["epoch"]);
    if (!o["native_action"].is_string() || !epoch || !known_action(o["native_action"].get<std::string>()))
        return std::nullopt;
    return ActionLine{o["native_action"].get<std::string>(), *epoch};
}

template <typename Line>
std::optional<BridgeLine> message_line(const json &o, const char *key)
{
    if (!has_keys(o, {key, "epoch"}))
        return std::nullopt;
    auto epoch = epoch_field(o["epoch"]);
    if (!o[key].is_string() || !epoch)
        return std::nullopt;
    return Line{o[key].get<std::string>(), *epoch};
}

std::optional<BridgeLine> text_line(const json &o)
{
    if (!has_keys(o, {"text", "wall_time", "latency_ms", "macro_ms", "epoch"}))
        return std::nullopt;
    auto latency = unsigned_field<uint64_t>(o["latency_ms"]);
    auto macro = unsigned_field<uint64_t>(o["macro_ms"]);
    auto epoch = epoch_field(o["epoch"]);
    if (!o["text"].is_string() || !o["wall_time"].is_number() || o["wall_time"].get<double>() < 0 || !latency ||
        !macro || !epoch)
        return std::nullopt;
    return TextLine{o["text"].get<std::string>(), o["wall_time"].get<double>(), *latency, *macro, *epoch};
}

std::optional<BridgeLine> line_of_kind(const json &o)
{
    const std::string &kind = o.begin().key();
    if (kind == "bridge_ready")
        return has_keys(o, {"bridge_ready"}) && o["bridge_ready"] == true ? std::optional<BridgeLine>(ReadyLine{})
                                                                           : std::nullopt;
    if (kind == "native_state")
        return state_line(o);
    if (kind == "native_action")
        return action_line(o);
    if (kind == "status")
        return message_line<StatusLine>(o, "status");
    if (kind == "error")
        return message_line<ErrorLine>(o, "error");
    if (kind == "text")
        return text_line(o);
    return std::nullopt;
}

}  // namespace

std::optional<BridgeLine> parse_bridge_line(std::string_view line)
{
    // The bridge's lines are flat objects: a nested one, or a key given twice (which a parse would
    // quietly fold into one), is no line of the bridge.
    bool flat = true;
    std::vector<std::string> keys;
    auto watch = [&](int depth, json::parse_event_t event, json &parsed) {
        if (event == json::parse_event_t::key) {
            std::string key = parsed.get<std::string>();
            flat &= depth == 1 && std::find(keys.begin(), keys.end(), key) == keys.end();
            keys.push_back(key);
        }
        return true;
    };
    // Every kind checks its key set before it reads a value: operator[] of a missing key on a
    // const object is undefined.
    const json object = json::parse(line.begin(), line.end(), watch, false);
    if (!flat || object.is_discarded() || !object.is_object() || object.empty())
        return std::nullopt;
    return line_of_kind(object);
}

bool in_epoch(const BridgeLine &line, int32_t epoch)
{
    if (std::holds_alternative<ReadyLine>(line))
        return true;
    return std::visit([](const auto &l) -> int32_t {
        if constexpr (std::is_same_v<std::decay_t<decltype(l)>, ReadyLine>)
            return 0;
        else
            return l.epoch;
    }, line) == epoch;
}
