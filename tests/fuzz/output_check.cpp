// The check of the bridge's output lines: each parsed by nlohmann-json's strict parser (RFC 8259,
// UTF-8) through its event interface, which sees every key in order (duplicates too) and each
// floating-point number as written; and the table of the bridge's line kinds. A short line that was
// found right once is known from then on.

#include "output_check.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <deque>
#include <string_view>
#include <unordered_map>

#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::json;

// Records a flat object: its fields in order, each scalar with its type; refuses anything nested.
struct flat_object_reader : nlohmann::json_sax<json> {
    json_object &out;
    int depth = 0;
    explicit flat_object_reader(json_object &object) : out(object) {}

    bool scalar(char type, std::string value)
    {
        if (depth != 1 || out.empty() || out.back().type)
            return false;
        out.back().type = type;
        out.back().value = std::move(value);
        return true;
    }
    bool null() override { return scalar('z', "null"); }
    bool boolean(bool value) override { return scalar('b', value ? "true" : "false"); }
    bool number_integer(number_integer_t value) override { return scalar('n', std::to_string(value)); }
    bool number_unsigned(number_unsigned_t value) override { return scalar('n', std::to_string(value)); }
    bool number_float(number_float_t, const string_t &written) override { return scalar('n', written); }
    bool string(string_t &value) override { return scalar('s', value); }
    bool binary(binary_t &) override { return false; }
    bool start_object(std::size_t) override { return depth++ == 0; }
    bool key(string_t &name) override { return out.push_back({name, 0, ""}), true; }
    bool end_object() override { return depth-- == 1; }
    bool start_array(std::size_t) override { return false; }
    bool end_array() override { return false; }
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &) override { return false; }
};

// The keys of each line kind in order, each with its type: b boolean, s string, i signed 32-bit
// integer, u unsigned 64-bit integer, f number with exactly six decimals. The first key names the kind.
const char *const kinds[] = {
    "bridge_ready:b",
    "native_state:b foreground:b hwnd:u pid:u busy:b epoch:i",
    "native_action:s epoch:i",
    "status:s epoch:i",
    "error:s epoch:i",
    "text:s wall_time:f latency_ms:u macro_ms:u epoch:i",
};

bool integer(const std::string &number, bool sign_allowed, long long low, unsigned long long high)
{
    if (number.find_first_of(".eE") != std::string::npos || (!sign_allowed && number[0] == '-'))
        return false;
    errno = 0;
    if (number[0] == '-') {
        long long value = strtoll(number.c_str(), nullptr, 10);
        return errno == 0 && value >= low;
    }
    unsigned long long value = strtoull(number.c_str(), nullptr, 10);
    return errno == 0 && value <= high;
}

bool typed(const json_field &f, char type)
{
    switch (type) {
    case 'b': return f.type == 'b';
    case 's': return f.type == 's';
    case 'i': return f.type == 'n' && integer(f.value, true, -2147483648ll, 2147483647ull);
    case 'u': return f.type == 'n' && integer(f.value, false, 0, ~0ull);
    case 'f': {
        size_t point = f.value.find('.');
        return f.type == 'n' && f.value[0] != '-' && point != std::string::npos && f.value.size() - point == 7 &&
               f.value.find_first_of("eE") == std::string::npos;
    }
    default: return false;
    }
}

// Whether the object's keys and types are exactly those of its kind.
bool of_its_kind(const json_object &object)
{
    if (object.empty())
        return false;
    for (const char *kind : kinds) {
        std::string keys = kind;
        if (keys.compare(0, keys.find(':'), object[0].key) != 0)
            continue;
        size_t i = 0, from = 0;
        for (; from < keys.size() && i < object.size(); i++) {
            size_t colon = keys.find(':', from), end = keys.find(' ', colon);
            if (end == std::string::npos)
                end = keys.size();
            if (keys.compare(from, colon - from, object[i].key) != 0 || !typed(object[i], keys[colon + 1]))
                return false;
            from = end + 1;
        }
        return i == object.size() && from >= keys.size();
    }
    return false;
}

// Parses the text from first to last as one JSON object whose values are all scalars; false on
// anything else.
bool parse_object(const char *first, const char *last, json_object &object)
{
    flat_object_reader reader(object);
    return json::sax_parse(first, last, &reader) && reader.depth == 0;
}

}  // namespace

std::string field(const json_object &object, const std::string &key)
{
    for (const json_field &f : object)
        if (f.key == key)
            return f.value;
    return "";
}

void violation(const char *message, const std::string &text)
{
    fprintf(stderr, "check failed: %s\n%s\n", message, text.c_str());
    abort();
}

std::vector<json_object> check_output(const std::string &output)
{
    // The short lines found right so far, parsed: the bridge prints the same state lines again and
    // again. The keys view their texts, kept in known_texts.
    static std::deque<std::string> known_texts;
    static std::unordered_map<std::string_view, json_object> known;
    std::vector<json_object> verdicts;
    size_t start = 0;
    for (size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string_view line(output.data() + start, end - start);
        auto found = known.find(line);
        json_object parsed;
        const json_object *object = found != known.end() ? &found->second : &parsed;
        if (found == known.end()) {
            parsed.reserve(8);
            if (!parse_object(line.data(), line.data() + line.size(), parsed))
                violation("a line is not one JSON object", std::string(line));
            if (!of_its_kind(parsed))
                violation("a line has not exactly the keys of its kind, in order", std::string(line));
            if ((parsed[0].key == "bridge_ready" || parsed[0].key == "native_state") && parsed[0].value != "true")
                violation("a line's kind is not true", std::string(line));
            if (line.size() <= 256) {  // not text lines: they seldom repeat, and reach 8 KiB
                if (known.size() == 20000) {
                    known.clear();
                    known_texts.clear();
                }
                object = &known.emplace(known_texts.emplace_back(line), std::move(parsed)).first->second;
            }
        }
        if ((*object)[0].key == "text" || (*object)[0].key == "error")
            verdicts.push_back(*object);
    }
    if (start != output.size())
        violation("the output ends inside a line", output.substr(start));
    return verdicts;
}
