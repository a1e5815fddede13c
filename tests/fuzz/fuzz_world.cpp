#include "fuzz_world.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "output_check.h"
#include "wine_bridge.h"

// What the bridge printed since world_begin: its standard output is a stream that appends here, so
// that no file is written and read back on every input.
static std::string output;
static FILE *output_stream, *saved_stdout;

static ssize_t keep_output(void *, const char *bytes, size_t size)
{
    output.append(bytes, size);
    return size;
}

void world_begin(void)
{
    double_reset();
    reset_bridge_state();
    w.tick = START_TICK;
    w.filetime = 134000000000000000ull;
    w.images = {{GAME_PID, u"C:\\Program Files\\Roberts Space Industries\\StarCitizen\\LIVE\\Bin64\\StarCitizen.exe"},
                {OTHER_PID, u"C:\\windows\\system32\\notepad.exe"}};
    w.window_pids = {{GAME, GAME_PID}, {GAME_SECOND, GAME_PID}, {OTHER, OTHER_PID}};
    w.window_classes = {{X_BRIDGE, u"__wine_clipboard_manager"}, {OTHER, u"Notepad"}};
    w.format_names = {{UTF8_TARGET, u"UTF8_STRING"}, {TEXT_PLAIN_TARGET, u"text/plain;charset=utf-8"}};
    w.scan_codes['P'] = 25;
    w.log_calls = false;
    output.clear();
    if (!output_stream) {
        output_stream = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, keep_output, nullptr, nullptr});
        setvbuf(output_stream, NULL, _IONBF, 0);
    }
    saved_stdout = stdout;
    stdout = output_stream;
}

const std::string &printed_output(void) { return output; }

std::string world_end(void)
{
    stdout = saved_stdout;
    if (getenv("FUZZ_SHOW_OUTPUT"))  // to see what an input makes the bridge print
        fputs(output.c_str(), stderr);
    return output;
}

std::vector<std::string> clipboard_contents(void)
{
    std::vector<std::string> contents;
    for (const clip_entry &entry : w.clipboard)
        contents.push_back(std::to_string(entry.format) + ":" + (entry.data ? block_bytes(entry.data) : "-"));
    return contents;
}

uint64_t clipboard_digest(bool renderable_only)
{
    // FNV-1a over 64-bit words (the last one padded with zeros), the length mixed in by the caller.
    uint64_t digest = 14695981039346656037ull;
    auto mix = [&digest](const void *bytes, size_t size) {
        for (size_t i = 0; i < size; i += 8) {
            uint64_t word = 0;
            memcpy(&word, (const char *)bytes + i, size - i < 8 ? size - i : 8);
            digest = (digest ^ word) * 1099511628211ull;
        }
    };
    for (const clip_entry &entry : w.clipboard) {
        const global_block *block = entry.data ? &w.blocks[(uintptr_t)entry.data - 1] : nullptr;
        if (renderable_only && (!block || !block->size || entry.renders_from == NEVER))
            continue;
        uint64_t head[3] = {entry.format, block != nullptr, block ? block->size : 0};
        mix(head, sizeof head);
        if (block)
            mix(block->bytes, block->size);
    }
    return digest;
}

static const char16_t command[] = u"/showlocation";

bool command_on_clipboard(void)
{
    return w.clipboard_owner == BRIDGE_WINDOW && w.clipboard.size() == 1 && w.clipboard[0].format == CF_UNICODETEXT &&
           block_bytes(w.clipboard[0].data) == std::string((const char *)command, sizeof command);
}

bool command_served_again(void)
{
    std::u16string text;
    return w.clipboard_owner == X_BRIDGE && clipboard_text(text) && text == command;
}

bool clipboard_text(std::u16string &text)
{
    for (const clip_entry &entry : w.clipboard)
        if (entry.format == CF_UNICODETEXT) {
            if (!entry.data || entry.renders_from > w.tick)
                return false;
            std::string bytes = block_bytes(entry.data);
            text.clear();
            for (size_t i = 0; i + 1 < bytes.size() && (bytes[i] || bytes[i + 1]); i += 2)
                text += (char16_t)((uint8_t)bytes[i] | (uint8_t)bytes[i + 1] << 8);
            return true;
        }
    return false;
}

// UTF-8 of a UTF-16 text; a unit of a broken surrogate pair is encoded alone, as X programs do.
static std::string utf8(const std::u16string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t code = text[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
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
    return out;
}

std::vector<clip_entry> x_text_entries(const std::u16string &text, UINT target)
{
    static const char locale[4] = {0x09, 0x04, 0, 0};
    std::string narrow;
    for (char16_t unit : text)
        narrow += unit < 0x80 ? (char)unit : '?';
    std::vector<clip_entry> entries = {{CF_UNICODETEXT, make_text_block(text), 0, 1},
                                       {CF_LOCALE, make_block(locale, sizeof locale)},
                                       {CF_TEXT, make_block(narrow.c_str(), narrow.size() + 1)},
                                       {CF_OEMTEXT, make_block(narrow.c_str(), narrow.size() + 1)}};
    if (target) {
        std::string bytes = utf8(text);
        entries.push_back({target, make_block(bytes.data(), bytes.size() + 1), 0, 1});
    }
    return entries;
}

void check_world_clean(void)
{
    if (w.clipboard_open)
        violation("the clipboard was left open", "");
    if (blocks_locked() || blocks_orphaned())
        violation("a global block was left locked, or neither freed nor given to the clipboard", "");
    if (w.misuses)
        violation("a Win32 call was misused", std::to_string(w.misuses) + " misuses");
    if (w.process_handles_open)
        violation("a process handle was left open", "");
    if (!w.heap.empty() || saved_count)
        violation("a snapshot block is still held", "");
}
