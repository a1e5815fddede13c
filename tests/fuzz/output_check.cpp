// A small JSON parser, strict to RFC 8259 for what a line can hold (one object of scalar values,
// UTF-8 text), and the table of the bridge's line kinds.

#include "output_check.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct parser {
    const std::string &text;
    size_t at = 0;

    int peek() const { return at < text.size() ? (unsigned char)text[at] : -1; }
    bool take(char c) { return peek() == (unsigned char)c ? (at++, true) : false; }
    void blanks()
    {
        while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')
            at++;
    }
    bool word(const char *literal)
    {
        size_t length = strlen(literal);
        if (text.compare(at, length, literal) != 0)
            return false;
        at += length;
        return true;
    }
    bool digits()
    {
        size_t from = at;
        while (peek() >= '0' && peek() <= '9')
            at++;
        return at > from;
    }

    bool number(std::string &out)
    {
        size_t from = at;
        take('-');
        if (!take('0') && !(peek() >= '1' && peek() <= '9' && digits()))
            return false;
        if (take('.') && !digits())
            return false;
        if ((take('e') || take('E')) && (take('+') || take('-'), !digits()))
            return false;
        out = text.substr(from, at - from);
        return true;
    }

    bool hex4(unsigned &value)
    {
        value = 0;
        for (int i = 0; i < 4; i++) {
            int c = peek(), digit = c >= '0' && c <= '9' ? c - '0'
                                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                         : -1;
            if (digit < 0)
                return false;
            value = value * 16 + digit;
            at++;
        }
        return true;
    }

    static void put_utf8(unsigned code, std::string &out)
    {
        if (code < 0x80) {
            out += (char)code;
        } else if (code < 0x800) {
            out += (char)(0xC0 | code >> 6);
            out += (char)(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += (char)(0xE0 | code >> 12);
            out += (char)(0x80 | (code >> 6 & 0x3F));
            out += (char)(0x80 | (code & 0x3F));
        } else {
            out += (char)(0xF0 | code >> 18);
            out += (char)(0x80 | (code >> 12 & 0x3F));
            out += (char)(0x80 | (code >> 6 & 0x3F));
            out += (char)(0x80 | (code & 0x3F));
        }
    }

    bool escape(std::string &out)
    {
        static const char plain[] = "\"\\/bfnrt", decoded[] = "\"\\/\b\f\n\r\t";
        int c = peek();
        const char *found = c > 0 ? strchr(plain, c) : nullptr;
        if (found) {
            at++;
            out += decoded[found - plain];
            return true;
        }
        unsigned code, low;
        if (!take('u') || !hex4(code))
            return false;
        if (code >= 0xDC00 && code <= 0xDFFF)
            return false;
        if (code >= 0xD800 && code <= 0xDBFF) {
            if (!word("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF)
                return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        put_utf8(code, out);
        return true;
    }

    // One UTF-8 character of two to four bytes, shortest form, no surrogate.
    bool multibyte(std::string &out)
    {
        int lead = peek(), count = lead >= 0xF0 && lead <= 0xF4 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : -1;
        if (lead >= 0xF5 || count < 0)
            return false;
        unsigned code = lead & (0x3F >> count);
        size_t from = at++;
        for (int i = 0; i < count; i++) {
            if ((peek() & 0xC0) != 0x80)
                return false;
            code = code << 6 | (peek() & 0x3F);
            at++;
        }
        static const unsigned least[] = {0, 0x80, 0x800, 0x10000};
        if (code < least[count] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        out.append(text, from, at - from);
        return true;
    }

    bool string(std::string &out)
    {
        if (!take('"'))
            return false;
        out.clear();
        for (;;) {
            int c = peek();
            if (c < 0x20)  // the end of the text, or a control character
                return false;
            if (c == '"')
                return at++, true;
            if (c == '\\') {
                at++;
                if (!escape(out))
                    return false;
            } else if (c < 0x80) {
                out += (char)c;
                at++;
            } else if (!multibyte(out)) {
                return false;
            }
        }
    }

    bool value(json_field &f)
    {
        int c = peek();
        if (c == '"')
            return f.type = 's', string(f.value);
        if (c == '-' || (c >= '0' && c <= '9'))
            return f.type = 'n', number(f.value);
        for (const char *literal : {"true", "false", "null"})
            if (word(literal))
                return f.type = literal[0] == 'n' ? 'z' : 'b', f.value = literal, true;
        return false;  // an object or an array: no line holds one
    }

    bool object(json_object &out)
    {
        blanks();
        if (!take('{'))
            return false;
        blanks();
        if (take('}'))
            return blanks(), at == text.size();
        do {
            json_field f;
            blanks();
            if (!string(f.key))
                return false;
            blanks();
            if (!take(':'))
                return false;
            blanks();
            if (!value(f))
                return false;
            out.push_back(f);
            blanks();
        } while (take(','));
        if (!take('}'))
            return false;
        blanks();
        return at == text.size();
    }
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

}  // namespace

bool parse_object(const std::string &text, json_object &object)
{
    object.clear();
    parser p{text};
    return p.object(object);
}

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
    std::vector<json_object> lines;
    size_t start = 0;
    for (size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = output.substr(start, end - start);
        json_object object;
        if (!parse_object(line, object))
            violation("a line is not one JSON object", line);
        if (!of_its_kind(object))
            violation("a line has not exactly the keys of its kind, in order", line);
        if ((object[0].key == "bridge_ready" || object[0].key == "native_state") && object[0].value != "true")
            violation("a line's kind is not true", line);
        lines.push_back(object);
    }
    if (start != output.size())
        violation("the output ends inside a line", output.substr(start));
    return lines;
}
