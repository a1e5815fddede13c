// The fuzz targets' check of the bridge's output: every line one JSON object, with exactly the keys
// of its kind in their order and values of the right type.
#pragma once

#include <string>
#include <vector>

struct json_field {
    std::string key;
    char type;          // 's' string, 'n' number, 'b' true or false, 'z' null
    std::string value;  // a string decoded, anything else as written
};

typedef std::vector<json_field> json_object;

// Checks every line of output (each ended by a line feed) against its kind and aborts with a message
// on the first violation; returns its text and error lines, parsed.
std::vector<json_object> check_output(const std::string &output);
// The value of key in object, "" when absent.
std::string field(const json_object &object, const std::string &key);
// Prints the message and the offending text to standard error, then aborts.
[[noreturn]] void violation(const char *message, const std::string &text);
