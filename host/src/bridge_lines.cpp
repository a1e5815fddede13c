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

std::optional<BridgeLine> ready_line(const json &o)
{
    if (!has_keys(o, {"bridge_ready"}) || o["bridge_ready"] != true)
        return std::nullopt;
    return ReadyLine{};
}

std::optional<BridgeLine> status_line(const json &o)
{
    return message_line<StatusLine>(o, "status");
}

std::optional<BridgeLine> error_line(const json &o)
{
    return message_line<ErrorLine>(o, "error");
}

// Each kind of line by its first key.
const struct {
    const char *first_key;
    std::optional<BridgeLine> (*parse)(const json &o);
} kinds[] = {
    {"bridge_ready", ready_line}, {"native_state", state_line}, {"native_action", action_line},
    {"status", status_line},      {"error", error_line},        {"text", text_line},
};

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
    for (const auto &kind : kinds)
        if (object.begin().key() == kind.first_key)
            return kind.parse(object);
    return std::nullopt;
}

bool in_epoch(const BridgeLine &line, int32_t epoch)
{
    return std::visit([epoch](const auto &l) {
        if constexpr (std::is_same_v<std::decay_t<decltype(l)>, ReadyLine>)
            return true;  // the ready line comes before any context
        else
            return l.epoch == epoch;
    }, line);
}
