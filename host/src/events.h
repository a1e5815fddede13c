// What bridge-host prints: one JSON object per line on stdout, flushed per line, and the
// position lines also appended to the --log file.
#pragma once

#include "bridge_lines.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

struct Coordinates {
    std::optional<double> x, y, z;
};

// The numbers after "x:", "y:" and "z:" in a text such as "Coordinates: x:1.5 y:-2 z:3"; each one
// that is missing or no number stays empty.
Coordinates parse_coordinates(std::string_view text);

nlohmann::ordered_json position_event(const TextLine &line);
nlohmann::ordered_json action_event(const std::string &action);
nlohmann::ordered_json message_event(const char *kind, const std::string &message);
nlohmann::ordered_json game_event(bool in_front);
// Which focus witness runs, with the note said about it at start, if any.
nlohmann::ordered_json witness_event(const char *name, const std::string &note);
// The bridge's exit: the signal that ended it, else its exit code and what the code means.
nlohmann::ordered_json bridge_exit_event(int32_t epoch, int code, int signal);
// A position event's axes as the status line shows them ("x:1.5 y:-2 z:3").
std::string position_summary(const nlohmann::ordered_json &event);

// Writes events as lines: on stdout, position events to the log file too. With positions_only,
// stdout carries nothing but position lines and the other events go to stderr, so that a script can
// take stdout's first line as the position.
class EventWriter {
public:
    explicit EventWriter(bool positions_only = false) : positions_only_(positions_only) {}
    EventWriter(const EventWriter &) = delete;
    EventWriter &operator=(const EventWriter &) = delete;
    ~EventWriter();

    // Opens the log file for appending; false (errno set) when it cannot be opened.
    bool open_log(const std::string &path);
    // False (errno set) when stdout did not take the line.
    bool write(const nlohmann::ordered_json &event);

private:
    bool positions_only_;
    std::FILE *log_ = nullptr;
};
