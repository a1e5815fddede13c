// clipboard_tool.exe: "another program" for the end-to-end tests, and their clipboard helper.
//
// A visible window of an image name other than the game's. Driven through stdin like the stand-in
// game (tool_support), it takes the foreground, writes texts, fills the clipboard with many formats
// of chosen sizes and pseudo-random bytes that depend only on the format's place, and dumps what the
// clipboard holds (format, size and FNV-1a 64 hash of each, in enumeration order, and the owner's
// process id) so that a test can check a restore byte for byte. It can also hold the clipboard open
// for a while (clipboard_hold), as a busy program does.
//
// Main thread only, but for the reader thread of tool_support.

#include <windows.h>
#include <winternl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "clipboard_hold.h"
#include "tool_support.h"
#include "x_clipboard.h"

#define FILL_GROUPS 64
#define FILL_FORMATS 1024
#define FILL_BYTES (256ull << 20)
#define DUMP_ENTRY_BYTES 48
#define FORMATS_LINE_BYTES 1024

// count formats of size bytes each
struct fill_group {
    unsigned long long count;
    unsigned long long size;
};

// Reads "<count>x<size>" groups up to the end or "text <t>"; 0 on a malformed or too big request.
static int parse_fill(const char *cursor, fill_group *groups, int *group_count, const char **text)
{
    unsigned long long formats = 0, bytes = 0;
    *group_count = 0;
    *text = NULL;
    while (*cursor) {
        if (strncmp(cursor, "text ", 5) == 0) {
            *text = cursor + 5;
            return 1;
        }
        fill_group *group = &groups[*group_count];
        const char *end;
        if (*group_count == FILL_GROUPS || !parse_number(cursor, &group->count, &end) || *end != 'x' ||
            !parse_number(end + 1, &group->size, &cursor) || (*cursor != ' ' && *cursor != 0))
            return 0;
        formats += group->count;
        bytes += group->count * group->size;
        if (formats > FILL_FORMATS || group->size > FILL_BYTES || bytes > FILL_BYTES)
            return 0;
        (*group_count)++;
        if (*cursor == ' ')
            cursor++;
    }
    return 1;
}

// The bytes of format number k (from 1) of a fill: a xorshift sequence seeded by k, the same in
// every run, and without the periodicity that would let FNV-1a hashes of different data agree.
static HGLOBAL pattern_block(unsigned k, SIZE_T size)
{
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    BYTE *bytes = block ? (BYTE *)GlobalLock(block) : NULL;
    if (!bytes) {
        if (block)
            GlobalFree(block);
        return NULL;
    }
    unsigned long long state = 0x9E3779B97F4A7C15ull * (k + 1);
    for (SIZE_T offset = 0; offset < size; offset++) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        bytes[offset] = (BYTE)(state >> 56);
    }
    GlobalUnlock(block);
    return block;
}

// Sets format number k ("BridgeTestFormat<k>"); the clipboard is open.
static int set_pattern_format(unsigned k, SIZE_T size)
{
    WCHAR name[32];
    swprintf(name, 32, L"BridgeTestFormat%u", k);
    UINT format = RegisterClipboardFormatW(name);
    HGLOBAL block = format ? pattern_block(k, size) : NULL;
    if (!block)
        return 0;
    if (SetClipboardData(format, block))
        return 1;
    GlobalFree(block);
    return 0;
}

static HGLOBAL unicode_block(const WCHAR *text)
{
    SIZE_T size = (wcslen(text) + 1) * sizeof(WCHAR);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    void *bytes = block ? GlobalLock(block) : NULL;
    if (!bytes) {
        if (block)
            GlobalFree(block);
        return NULL;
    }
    memcpy(bytes, text, size);
    GlobalUnlock(block);
    return block;
}

// Empties the clipboard and sets the groups' formats, then the text if any; the clipboard is open.
static int fill_clipboard(const fill_group *groups, int group_count, const WCHAR *text)
{
    if (!EmptyClipboard())
        return 0;
    unsigned k = 0;
    for (int g = 0; g < group_count; g++)
        for (unsigned long long i = 0; i < groups[g].count; i++)
            if (!set_pattern_format(++k, (SIZE_T)groups[g].size))
                return 0;
    if (!text)
        return 1;
    HGLOBAL block = unicode_block(text);
    if (block && SetClipboardData(CF_UNICODETEXT, block))
        return 1;
    if (block)
        GlobalFree(block);
    return 0;
}

// fill [<count>x<size> ...] [text <t>]
static void command_fill(HWND window, const char *rest)
{
    fill_group groups[FILL_GROUPS];
    int group_count;
    const char *text;
    WCHAR *decoded = (WCHAR *)malloc(TOOL_TEXT_UNITS * sizeof(WCHAR));
    if (!decoded || !parse_fill(rest, groups, &group_count, &text) ||
        (text && decode_text(text, decoded, TOOL_TEXT_UNITS) < 0)) {
        log_line("error usage: fill [<count>x<bytes> ...] [text <t>], at most 1024 formats and 256 MiB");
        free(decoded);
        return;
    }
    unsigned long long formats = 0, bytes = 0;
    for (int g = 0; g < group_count; g++) {
        formats += groups[g].count;
        bytes += groups[g].count * groups[g].size;
    }
    int filled = open_clipboard(window);
    if (filled) {
        filled = fill_clipboard(groups, group_count, text ? decoded : NULL);
        CloseClipboard();
    }
    if (filled)
        log_line("filled formats=%llu bytes=%llu seq=%lu", formats, bytes, GetClipboardSequenceNumber());
    else
        log_line("error clipboard refused the fill");
    free(decoded);
}

static unsigned long long fnv1a(const BYTE *bytes, SIZE_T size)
{
    unsigned long long hash = 0xcbf29ce484222325ull;
    for (SIZE_T i = 0; i < size; i++)
        hash = (hash ^ bytes[i]) * 0x100000001b3ull;
    return hash;
}

// Appends " <format>:<size>:<hash>" (or "<format>:-:-" when it has no data); the clipboard is open.
static int dump_format(UINT format, char *out)
{
    HANDLE data = clipboard_data(format);
    const BYTE *bytes = data ? (const BYTE *)GlobalLock(data) : NULL;
    if (!bytes)
        return sprintf(out, " %u:-:-", format);
    SIZE_T size = GlobalSize(data);
    int length = sprintf(out, " %u:%llu:%016llx", format, (unsigned long long)size, fnv1a(bytes, size));
    GlobalUnlock(data);
    return length;
}

// formats: "formats seq=<n> <format> ...", the formats listed, none of them read: reading one that
// Wine imported from X would make Wine keep its data.
static void command_formats(HWND window, const char *)
{
    if (!open_clipboard(window)) {
        log_line("error clipboard busy");
        return;
    }
    char line[FORMATS_LINE_BYTES];
    int length = 0;
    for (UINT format = EnumClipboardFormats(0); format && length < FORMATS_LINE_BYTES - 16;
         format = EnumClipboardFormats(format))
        length += sprintf(line + length, " %u", format);
    line[length] = 0;
    CloseClipboard();
    log_line("formats seq=%lu%s", GetClipboardSequenceNumber(), line);
}

// dump: "dump owner=<pid> seq=<n> count=<n> <format>:<size>:<fnv1a64 hex> ..."
static void command_dump(HWND window, const char *)
{
    if (!open_clipboard(window)) {
        log_line("error clipboard busy");
        return;
    }
    DWORD owner = 0;
    if (GetClipboardOwner())
        GetWindowThreadProcessId(GetClipboardOwner(), &owner);
    int count = CountClipboardFormats();
    char *entries = (char *)malloc((size_t)count * DUMP_ENTRY_BYTES + 1);
    int length = 0, listed = 0;
    if (entries) {
        entries[0] = 0;
        for (UINT format = EnumClipboardFormats(0); format && listed < count; format = EnumClipboardFormats(format)) {
            length += dump_format(format, entries + length);
            listed++;
        }
    }
    CloseClipboard();
    if (entries)
        log_line("dump owner=%lu seq=%lu count=%d%s", owner, GetClipboardSequenceNumber(), listed, entries);
    else
        log_line("error no memory");
    free(entries);
}

// One open handle as the system's handle list gives it (SystemHandleInformation).
struct handle_entry {
    ULONG owner_pid;
    BYTE object_type;
    BYTE flags;
    USHORT value;
    PVOID object;
    ACCESS_MASK access;
};

struct handle_list {
    ULONG count;
    handle_entry handles[1];
};

#define SYSTEM_HANDLE_INFORMATION ((SYSTEM_INFORMATION_CLASS)16)
#define STATUS_LENGTH_MISMATCH ((NTSTATUS)0xC0000004)

// The system's list of class what, in a heap block that the caller frees; NULL on failure.
static void *system_list(SYSTEM_INFORMATION_CLASS what)
{
    for (ULONG size = 1 << 16; size <= (1u << 28); size *= 2) {
        void *list = malloc(size);
        if (!list)
            return NULL;
        NTSTATUS status = NtQuerySystemInformation(what, list, size, NULL);
        if (NT_SUCCESS(status))
            return list;
        free(list);
        if (status != STATUS_LENGTH_MISMATCH)
            return NULL;
    }
    return NULL;
}

// The id of the first process whose image name is image (case-insensitive), or 0.
static DWORD process_named(const WCHAR *image)
{
    BYTE *list = (BYTE *)system_list(SystemProcessInformation);
    DWORD pid = 0;
    for (BYTE *at = list; at && !pid; ) {
        SYSTEM_PROCESS_INFORMATION *process = (SYSTEM_PROCESS_INFORMATION *)at;
        const UNICODE_STRING *name = &process->ImageName;
        if (name->Buffer && (size_t)lstrlenW(image) * sizeof(WCHAR) == name->Length &&
            _wcsnicmp(name->Buffer, image, name->Length / sizeof(WCHAR)) == 0)
            pid = (DWORD)(UINT_PTR)process->UniqueProcessId;
        at = process->NextEntryOffset ? at + process->NextEntryOffset : NULL;
    }
    free(list);
    return pid;
}

// handles <image>: "handles pid=<n> count=<n>", the open handles of the first process whose image
// name is <image>, counted in the system's handle list (Wine answers GetProcessHandleCount of
// another process with 0); for a soak to watch another program.
static void command_handles(HWND, const char *rest)
{
    WCHAR image[MAX_PATH];
    if (!*rest || !MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, rest, -1, image, MAX_PATH)) {
        log_line("error usage: handles <image name>");
        return;
    }
    DWORD pid = process_named(image);
    handle_list *list = pid ? (handle_list *)system_list(SYSTEM_HANDLE_INFORMATION) : NULL;
    if (!list) {
        log_line(pid ? "error the handle list cannot be read" : "error no process %s", rest);
        return;
    }
    ULONG count = 0;
    for (ULONG i = 0; i < list->count; i++)
        count += list->handles[i].owner_pid == pid;
    log_line("handles pid=%lu count=%lu", pid, count);
    free(list);
}

// Commands and their replies (texts escaped as in tool_support; every line ends with its time):
//   front -> "front <1 if now in front>"          copy <t> / copy-sized <bytes> <t> -> "copied <seq>"
//   read -> "read text <t>" or "read none"          quit -> "bye"
//   fill [<count>x<bytes> ...] [text <t>] -> "filled formats=<n> bytes=<n> seq=<n>"
//   dump -> "dump owner=<pid> seq=<n> count=<n> <format>:<size>:<hash> ..."
//   formats -> "formats seq=<n> <format> ..." (no data read)
//   handles <image> -> "handles pid=<n> count=<n>"
//   hold <ms> [after <ms>] [read] -> "held seq=<n> ..." once open, "released seq=<n>" once closed
// Start: "ready hwnd=<n> pid=<n> front=<0|1>". Bad input: "error <message>".
static const tool_command commands[] = {
    {"front", command_front},
    {"copy", command_copy},
    {"copy-sized", command_copy_sized},
    {"read", command_read},
    {"fill", command_fill},
    {"dump", command_dump},
    {"formats", command_formats},
    {"handles", command_handles},
    {"hold", command_hold},
    {"quit", command_quit},
};

static const tool clipboard_tool = {L"ClipboardTool", 340, 0, commands, ARRAYSIZE(commands), hold_message};

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    return run_tool(instance, &clipboard_tool);
}
