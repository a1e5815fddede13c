// The part of <windows.h> that the bridge uses, for the native build of its sources against our
// Win32 double (win32_double.cpp). Everything is compiled with -fshort-wchar so that WCHAR is 16
// bits as on Windows; glibc's wide-string functions assume 32 bits, so the ones the bridge calls are
// replaced by our own, mapped by macros at the end.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <wchar.h>

#define WINAPI
#define CALLBACK
#define FALSE 0
#define TRUE 1

typedef int BOOL;
typedef unsigned short WORD, ATOM;
typedef short SHORT;
typedef unsigned int UINT;
typedef long LONG;
typedef unsigned long DWORD;  // so that "%lu" fits DWORD on both platforms
typedef long long LONGLONG, LONG_PTR, LPARAM, LRESULT;
typedef unsigned long long ULONGLONG, UINT_PTR, ULONG_PTR, DWORD_PTR, *PDWORD_PTR, WPARAM;
typedef size_t SIZE_T;
typedef wchar_t WCHAR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef char *LPSTR;
typedef void *LPVOID, *HANDLE, *HGLOBAL;
typedef DWORD *LPDWORD, *PDWORD;
typedef struct HWND__ *HWND;
typedef struct HINSTANCE__ *HINSTANCE;
typedef struct HMENU__ *HMENU;
typedef struct HICON__ *HICON, *HCURSOR;
typedef struct HBRUSH__ *HBRUSH;
typedef struct SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;
typedef LRESULT(CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef void(CALLBACK *TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);
typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID);

typedef struct { DWORD dwLowDateTime, dwHighDateTime; } FILETIME, *LPFILETIME;
typedef struct { LONG x, y; } POINT;
typedef struct { HWND hwnd; UINT message; WPARAM wParam; LPARAM lParam; DWORD time; POINT pt; } MSG, *LPMSG;
typedef struct {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra, cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName, lpszClassName;
} WNDCLASSW;
typedef struct { WORD wVk, wScan; DWORD dwFlags, time; ULONG_PTR dwExtraInfo; } KEYBDINPUT;
typedef struct { DWORD type; union { KEYBDINPUT ki; }; } INPUT, *LPINPUT;

constexpr UINT WM_CREATE = 0x0001, WM_DESTROY = 0x0002, WM_CLOSE = 0x0010, WM_QUIT = 0x0012, WM_NCCREATE = 0x0081,
               WM_TIMER = 0x0113, WM_HOTKEY = 0x0312, WM_CLIPBOARDUPDATE = 0x031D, WM_USER = 0x0400, WM_APP = 0x8000;
enum : UINT { SMTO_ABORTIFHUNG = 2, WM_NULL = 0, WM_RENDERFORMAT = 0x0305 };
constexpr UINT CF_TEXT = 1, CF_OEMTEXT = 7, CF_UNICODETEXT = 13, CF_LOCALE = 16, GMEM_MOVEABLE = 0x0002,
               MOD_NOREPEAT = 0x4000;
constexpr UINT VK_RETURN = 0x0D, VK_SHIFT = 0x10, VK_CONTROL = 0x11, VK_MENU = 0x12, VK_LWIN = 0x5B, VK_RWIN = 0x5C;
constexpr DWORD INPUT_KEYBOARD = 1, KEYEVENTF_KEYUP = 0x0002, KEYEVENTF_SCANCODE = 0x0008, MAPVK_VK_TO_VSC = 0;
constexpr DWORD PROCESS_QUERY_LIMITED_INFORMATION = 0x1000, ERROR_HOTKEY_ALREADY_REGISTERED = 1409;
#define HWND_MESSAGE ((HWND)(LONG_PTR)-3)
#define HIWORD(value) ((WORD)(((ULONG_PTR)(value) >> 16) & 0xFFFF))
#define MAKELPARAM(low, high) ((LPARAM)(DWORD)((WORD)(low) | ((DWORD)(WORD)(high) << 16)))

// user32: windows and messages
ATOM RegisterClassW(const WNDCLASSW *window_class);
HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR title, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID parameter);
BOOL DestroyWindow(HWND hwnd);
LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
BOOL GetMessageW(LPMSG message, HWND hwnd, UINT first, UINT last);
HWND FindWindowExW(HWND parent, HWND after, LPCWSTR class_name, LPCWSTR window_name);
LRESULT SendMessageTimeoutW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, UINT flags, UINT timeout,
                            PDWORD_PTR result);
BOOL TranslateMessage(const MSG *message);
LRESULT DispatchMessageW(const MSG *message);
BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
void PostQuitMessage(int code);
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT period, TIMERPROC procedure);
HWND GetForegroundWindow(void);
DWORD GetWindowThreadProcessId(HWND hwnd, LPDWORD pid);
int GetClassNameW(HWND hwnd, LPWSTR name, int size);
int GetClipboardFormatNameW(UINT format, LPWSTR name, int size);
// user32: clipboard
BOOL OpenClipboard(HWND owner);
BOOL CloseClipboard(void);
BOOL EmptyClipboard(void);
UINT EnumClipboardFormats(UINT format);
HANDLE GetClipboardData(UINT format);
HANDLE SetClipboardData(UINT format, HANDLE data);
HWND GetClipboardOwner(void);
HWND GetOpenClipboardWindow(void);
DWORD GetClipboardSequenceNumber(void);
BOOL AddClipboardFormatListener(HWND hwnd);
BOOL RemoveClipboardFormatListener(HWND hwnd);
// user32: keyboard and hotkeys
BOOL RegisterHotKey(HWND hwnd, int id, UINT modifiers, UINT vk);
BOOL UnregisterHotKey(HWND hwnd, int id);
UINT SendInput(UINT count, LPINPUT inputs, int size);
UINT MapVirtualKeyW(UINT code, UINT map_type);
SHORT GetAsyncKeyState(int vk);
// kernel32
ULONGLONG GetTickCount64(void);
void GetSystemTimePreciseAsFileTime(LPFILETIME time);
void Sleep(DWORD milliseconds);
DWORD GetLastError(void);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, LPDWORD thread_id);
BOOL CloseHandle(HANDLE handle);
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid);
BOOL QueryFullProcessImageNameW(HANDLE process, DWORD flags, LPWSTR path, PDWORD size);
HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
LPVOID GlobalLock(HGLOBAL block);
BOOL GlobalUnlock(HGLOBAL block);
SIZE_T GlobalSize(HGLOBAL block);
HGLOBAL GlobalFree(HGLOBAL block);
HANDLE GetProcessHeap(void);
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID memory);

// The C runtime's Windows names; the wide-string functions on 16-bit units.
char *_strdup(const char *text);
int _wcsicmp(const WCHAR *a, const WCHAR *b);
size_t double_wcslen(const WCHAR *text);
size_t double_wcsnlen(const WCHAR *text, size_t limit);
int double_wcscmp(const WCHAR *a, const WCHAR *b);
int double_wcsncmp(const WCHAR *a, const WCHAR *b, size_t limit);
WCHAR *double_wcscpy(WCHAR *to, const WCHAR *from);
#define wcslen double_wcslen
#define wcsnlen double_wcsnlen
#define wcscmp double_wcscmp
#define wcsncmp double_wcsncmp
#define wcscpy double_wcscpy
