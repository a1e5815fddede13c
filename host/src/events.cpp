// Events: value builders for each kind of line that bridge-host prints, and their writer. Texts
// from the bridge are printed as valid JSON even when they are not valid UTF-8 (replacement
// characters), so a reader's parser never chokes on one line.
#include "events.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

using json = nlohmann::ordered_json;

namespace {

// The number right after "<axis>:" at the start of a word, if any.
std::optional<double> axis_value(std::string_view text, char axis)
{
    for (size_t at = 0; (at = text.find(axis, at)) != std::string_view::npos; ++at) {
        bool word_start = at == 0 || text[at - 1] == ' ';
        if (!word_start || at + 1 >= text.size() || text[at + 1] != ':')
            continue;
        std::string number(text.substr(at + 2, text.find(' ', at) - at - 2));
        char *end = nullptr;
        errno = 0;
        double value = std::strtod(number.c_str(), &end);
        if (!number.empty() && *end == '\0' && errno == 0 && std::strpbrk(number.c_str(), "xXnNiI") == nullptr)
            return value;
    }
    return std::nullopt;
}

const char *exit_meaning(int code)
{
    switch (code) {
    case 0: return "ended";
    case 1: return "could not register its window class";
    case 2: return "could not create its window or clipboard listener";
    case 3: return "could not start its input reader";
    default: return "failed";
    }
}

std::string axis(const json &event, const char *name)
{
    return event.contains(name) ? std::string(name) + ":" + event[name].dump() : "";
}

}  // namespace

Coordinates parse_coordinates(std::string_view text)
{
    return {axis_value(text, 'x'), axis_value(text, 'y'), axis_value(text, 'z')};
}

json position_event(const TextLine &line)
{
    json event = {{"event", "position"}, {"source", line.passive() ? "passive" : "active"}, {"text", line.text}};
    Coordinates c = parse_coordinates(line.text);
    if (c.x)
        event["x"] = *c.x;
    if (c.y)
        event["y"] = *c.y;
    if (c.z)
        event["z"] = *c.z;
    event["wall_time"] = line.wall_time;
    event["latency_ms"] = line.latency_ms;
    event["macro_ms"] = line.macro_ms;
    return event;
}

json action_event(const std::string &action)
{
    return {{"event", "action"}, {"action", action}};
}

json message_event(const char *kind, const std::string &message)
{
    return {{"event", kind}, {"message", message}};
}

json game_event(bool in_front)
{
    return {{"event", "game"}, {"in_front", in_front}};
}

json witness_event(const char *name, const std::string &note)
{
    json event = {{"event", "witness"}, {"name", name}};
    if (!note.empty())
        event["message"] = note;
    return event;
}

json bridge_exit_event(int32_t epoch, int code, int signal)
{
    json event = {{"event", "bridge"}, {"state", "exited"}, {"epoch", epoch}};
    if (signal)
        event["signal"] = signal;
    else
        event["code"] = code, event["meaning"] = exit_meaning(code);
    return event;
}

std::string position_summary(const json &event)
{
    return axis(event, "x") + " " + axis(event, "y") + " " + axis(event, "z");
}

EventWriter::~EventWriter()
{
    if (log_)
        std::fclose(log_);
}

bool EventWriter::open_log(const std::string &path)
{
    log_ = std::fopen(path.c_str(), "a");
    return log_ != nullptr;
}

bool EventWriter::write(const json &event)
{
    std::string line = event.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    bool position = event["event"] == "position";
    if (log_ && position) {
        std::fwrite(line.data(), 1, line.size(), log_);
        std::fflush(log_);
    }
    if (positions_only_ && !position) {
        std::fputs(line.c_str(), stderr);
        return true;
    }
    bool written = std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
    return std::fflush(stdout) == 0 && written;
}
