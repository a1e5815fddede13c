// Clipboard: what a Linux program offers, as Wine's X clipboard bridge lists it.
//
// Wine imports an X selection under a window of its own (class __wine_clipboard_manager) by
// listing its formats without data; each is rendered from X only when a reader asks for it.
// GetClipboardData asks with WM_RENDERFORMAT and waits for the answer with no time limit, and
// under a program that takes every copy over (gamescope, a clipboard persister) Wine 8's bridge was
// seen never to answer: the reader's thread, ours, then hung for good, with the clipboard open.
// So a format of Wine's X bridge is rendered here first, through SendMessageTimeout, and read only
// once its data is there: a render that sets data moves the clipboard's sequence number on (outside
// a reader's GetClipboardData, Wine counts it as a change). Those steps of our own are no change of
// content: clipboard_sequence leaves them out, so that every test of "has the clipboard changed"
// sees only the writes of others and our own.

#include "x_clipboard.h"

#include <wchar.h>

#define RENDER_LIMIT_MS 1000  // Wine's X bridge gives up on an X owner after about 550 ms
#define OWNER_ANSWER_MS 250   // Wine's X bridge answers within a few ms when it is free
#define MAX_RENDERED 64

// Wine lists what an X program offers on the clipboard under a window of this class.
static const WCHAR x_import_class[] = L"__wine_clipboard_manager";

// Our renders moved the sequence number from listed_sequence to rendered_sequence; the formats
// rendered meanwhile hold data now.
static DWORD listed_sequence, rendered_sequence;
static UINT rendered[MAX_RENDERED];
static int rendered_count;

int x_import(HWND owner)
{
    WCHAR name[sizeof x_import_class / sizeof(WCHAR) + 1];
    return owner && GetClassNameW(owner, name, sizeof name / sizeof(WCHAR)) && wcscmp(name, x_import_class) == 0;
}

static HWND x_bridge(void)
{
    return FindWindowExW(HWND_MESSAGE, NULL, x_import_class, NULL);
}

static int silent(HWND bridge)
{
    DWORD_PTR result;
    return !SendMessageTimeoutW(bridge, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, OWNER_ANSWER_MS, &result);
}

// Wine's OpenClipboard first asks the clipboard's owner whether X's selection has changed, with a
// message that it waits up to 5 s for (at most every 2 s, until one is answered). Under a program
// that takes every copy over, Wine's X bridge was seen to leave messages unanswered for seconds at a
// time, on Wine 8 and 10 alike, and our thread then stood still 5 s in each OpenClipboard. So that
// owner is asked first, with a message that waits OWNER_ANSWER_MS: one that does not answer makes
// the clipboard busy for now, as when another program holds it open.
int x_bridge_runs(void)
{
    return x_bridge() != NULL;
}

int clipboard_open(HWND window)
{
    HWND owner = GetClipboardOwner();
    if (x_import(owner) && silent(owner))
        return 0;
    return OpenClipboard(window);
}

// Wine's X bridge imports a copy of X's in the moment that X's owner changes, and drops the import
// when it finds the clipboard open under another window. After a copy made in Windows (the game's
// answer, which a program between Wine and the desktop takes over at once) it then stops listening
// to X until Windows' clipboard changes again: the user's Linux copies meanwhile never reach
// Windows, and the next loan would give an older text back over them. Wine lets a thread open the
// clipboard under the window that holds it open already, so a read opens it under the X bridge's
// window: its import goes ahead even in the middle of the read, which then fails and is made again
// later. A clipboard that someone holds open is left alone, since that opening would take it over:
// only an import that begins in the instant between that test and the opening loses its emptying
// (the X text then sits beside the old content, unreadable, and a loan fails its save: nothing of
// the user's is lost), where before, any import during a read was dropped.
int clipboard_open_to_read(HWND window)
{
    HWND bridge = x_bridge();
    if (bridge && GetOpenClipboardWindow())
        return 0;
    return clipboard_open(bridge ? bridge : window);
}

int x_bridge_silent(void)
{
    HWND bridge = x_bridge();
    return bridge && silent(bridge);
}

DWORD clipboard_sequence(void)
{
    DWORD now = GetClipboardSequenceNumber();
    return rendered_count && now == rendered_sequence ? listed_sequence : now;
}

static int already_rendered(UINT format)
{
    if (!rendered_count || GetClipboardSequenceNumber() != rendered_sequence)
        return 0;
    for (int i = 0; i < rendered_count; i++)
        if (rendered[i] == format)
            return 1;
    return 0;
}

// Wine makes these from CF_UNICODETEXT itself, without asking the owner, once it holds data.
static int made_from_text(UINT format)
{
    return (format == CF_TEXT || format == CF_OEMTEXT || format == CF_LOCALE) && already_rendered(CF_UNICODETEXT);
}

// Asks Wine's X bridge to render format, within RENDER_LIMIT_MS; 1 when it set data.
static int render(HWND owner, UINT format)
{
    DWORD listing = clipboard_sequence(), before = GetClipboardSequenceNumber();
    DWORD_PTR result;
    SendMessageTimeoutW(owner, WM_RENDERFORMAT, format, 0, SMTO_ABORTIFHUNG, RENDER_LIMIT_MS, &result);
    DWORD after = GetClipboardSequenceNumber();
    if (after == before)
        return 0;
    if (!rendered_count || listing != listed_sequence)
        rendered_count = 0;
    listed_sequence = listing;
    rendered_sequence = after;
    if (rendered_count < MAX_RENDERED)
        rendered[rendered_count++] = format;
    return 1;
}

HANDLE clipboard_data(UINT format)
{
    HWND owner = GetClipboardOwner();
    if (x_import(owner) && !already_rendered(format) && !made_from_text(format) && !render(owner, format))
        return NULL;
    return GetClipboardData(format);
}

void forget_renders(void)
{
    rendered_count = 0;
    listed_sequence = rendered_sequence = 0;
}
