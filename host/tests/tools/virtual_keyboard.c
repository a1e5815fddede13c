/* The end-to-end tests' keyboard on a wlroots compositor (sway headless has none of its own): one
 * zwp_virtual_keyboard_v1 on the seat, with a US keymap (evdev, pc105, us) made by libxkbcommon.
 *
 * It must be on the seat before any Wine program connects and stay there: a keyboard whose keymap
 * arrives while another one is on the seat makes every Wine process with a Wayland connection exit
 * ("Failed to read events from the compositor"). So it is started with the desktop and lives as
 * long as its standard input is open.
 *
 * Standard input, one command a line; each is answered on standard output by "ok" once the
 * compositor has had every event, or by "error: ..." (and "ready" comes first, once the keymap is in):
 *   key COMBO   a combination such as ctrl+p, alt+shift+f5, return: the modifiers are pressed in
 *               order, the key is pressed and released, the modifiers are released in reverse;
 *   type TEXT   the characters of TEXT that the US layout has, each with shift where it needs it.
 * Every key event is followed by the modifier state it gives (zwp_virtual_keyboard_v1.modifiers),
 * as the keymap computes it: that is what a compositor forwards to its clients.
 *
 * Environment: WAYLAND_DISPLAY (and XDG_RUNTIME_DIR when it is not a path), as for any client. */
#define _GNU_SOURCE
#include "virtual-keyboard-unstable-v1-client-protocol.h"

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#define KEY_PAUSE_US 15000 /* between key events, so that a client reads them as typed, not as one burst */
#define MAX_KEYS 8         /* modifiers and the key of one combination */

struct keyboard {
    struct wl_display *display;
    struct wl_seat *seat;
    struct zwp_virtual_keyboard_manager_v1 *manager;
    struct zwp_virtual_keyboard_v1 *device;
    struct xkb_keymap *keymap;
    struct xkb_state *state;
    xkb_mod_mask_t depressed, latched, locked;
    xkb_layout_index_t group;
};

/* A key of the keymap: its xkb keycode and whether it needs shift (level 2) for the wanted symbol. */
struct key {
    xkb_keycode_t code;
    int shifted;
};

static void on_global(void *data, struct wl_registry *registry, uint32_t name, const char *interface,
                      uint32_t version)
{
    struct keyboard *kb = data;
    (void)version;
    if (!kb->seat && strcmp(interface, wl_seat_interface.name) == 0)
        kb->seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
    else if (strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0)
        kb->manager = wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1);
}

static void on_global_remove(void *data, struct wl_registry *registry, uint32_t name)
{
    (void)data, (void)registry, (void)name;
}

static const struct wl_registry_listener registry_listener = {on_global, on_global_remove};

static uint32_t now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint32_t)(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

/* The keymap as text in a sealed memfd, handed to the compositor. */
static int send_keymap(struct keyboard *kb)
{
    struct xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    struct xkb_rule_names names = {.rules = "evdev", .model = "pc105", .layout = "us"};
    if (!context)
        return -1;
    kb->keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    xkb_context_unref(context);
    if (!kb->keymap)
        return -1;
    kb->state = xkb_state_new(kb->keymap);
    char *text = xkb_keymap_get_as_string(kb->keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
    if (!kb->state || !text)
        return -1;
    size_t size = strlen(text) + 1;
    int fd = memfd_create("keymap", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    int written = fd >= 0 && write(fd, text, size) == (ssize_t)size;
    free(text);
    if (!written)
        return -1;
    fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    zwp_virtual_keyboard_v1_keymap(kb->device, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, (uint32_t)size);
    close(fd);
    return 0;
}

/* One key event, then the modifier state it leaves when that changed. */
static void send_key(struct keyboard *kb, xkb_keycode_t code, int pressed)
{
    zwp_virtual_keyboard_v1_key(kb->device, now_ms(), code - 8, /* evdev codes are xkb's less 8 */
                                pressed ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
    xkb_state_update_key(kb->state, code, pressed ? XKB_KEY_DOWN : XKB_KEY_UP);
    xkb_mod_mask_t depressed = xkb_state_serialize_mods(kb->state, XKB_STATE_MODS_DEPRESSED);
    xkb_mod_mask_t latched = xkb_state_serialize_mods(kb->state, XKB_STATE_MODS_LATCHED);
    xkb_mod_mask_t locked = xkb_state_serialize_mods(kb->state, XKB_STATE_MODS_LOCKED);
    xkb_layout_index_t group = xkb_state_serialize_layout(kb->state, XKB_STATE_LAYOUT_EFFECTIVE);
    if (depressed != kb->depressed || latched != kb->latched || locked != kb->locked || group != kb->group) {
        zwp_virtual_keyboard_v1_modifiers(kb->device, depressed, latched, locked, group);
        kb->depressed = depressed, kb->latched = latched, kb->locked = locked, kb->group = group;
    }
    wl_display_flush(kb->display);
    usleep(KEY_PAUSE_US);
}

/* The key that gives that symbol on the first layout, unshifted first; 0 when there is none. */
static int find_key(struct keyboard *kb, xkb_keysym_t sym, struct key *found)
{
    for (int level = 0; level < 2; ++level)
        for (xkb_keycode_t code = xkb_keymap_min_keycode(kb->keymap); code <= xkb_keymap_max_keycode(kb->keymap); ++code) {
            const xkb_keysym_t *syms;
            int count = xkb_keymap_key_get_syms_by_level(kb->keymap, code, 0, level, &syms);
            for (int i = 0; i < count; ++i)
                if (syms[i] == sym) {
                    found->code = code;
                    found->shifted = level == 1;
                    return 1;
                }
        }
    return 0;
}

/* A combination's keys in pressing order ("ctrl+p": Control_L, then p); the count, or -1. */
static int parse_combination(struct keyboard *kb, char *combination, xkb_keycode_t *codes)
{
    static const struct {
        const char *name, *keysym;
    } modifiers[] = {{"ctrl", "Control_L"}, {"alt", "Alt_L"}, {"shift", "Shift_L"}, {"super", "Super_L"}};
    int count = 0;
    for (char *part = strtok(combination, "+"); part; part = strtok(NULL, "+")) {
        const char *name = part;
        for (size_t i = 0; i < sizeof modifiers / sizeof *modifiers; ++i)
            if (strcasecmp(part, modifiers[i].name) == 0)
                name = modifiers[i].keysym;
        xkb_keysym_t sym = xkb_keysym_from_name(name, XKB_KEYSYM_CASE_INSENSITIVE);
        struct key key;
        if (sym == XKB_KEY_NoSymbol || count == MAX_KEYS || !find_key(kb, sym, &key))
            return -1;
        codes[count++] = key.code;
    }
    return count;
}

static int press_combination(struct keyboard *kb, char *combination)
{
    xkb_keycode_t codes[MAX_KEYS];
    int count = parse_combination(kb, combination, codes);
    if (count <= 0)
        return -1;
    for (int i = 0; i < count; ++i)
        send_key(kb, codes[i], 1);
    for (int i = count - 1; i >= 0; --i)
        send_key(kb, codes[i], 0);
    return 0;
}

static int type_text(struct keyboard *kb, const char *text)
{
    struct key shift;
    if (!find_key(kb, XKB_KEY_Shift_L, &shift))
        return -1;
    for (const char *c = text; *c; ++c) {
        struct key key;
        if (!find_key(kb, xkb_utf32_to_keysym((unsigned char)*c), &key))
            return -1;
        if (key.shifted)
            send_key(kb, shift.code, 1);
        send_key(kb, key.code, 1);
        send_key(kb, key.code, 0);
        if (key.shifted)
            send_key(kb, shift.code, 0);
    }
    return 0;
}

static void run_command(struct keyboard *kb, char *line)
{
    int result = -1;
    if (strncmp(line, "key ", 4) == 0)
        result = press_combination(kb, line + 4);
    else if (strncmp(line, "type ", 5) == 0)
        result = type_text(kb, line + 5);
    if (result == 0 && wl_display_roundtrip(kb->display) < 0)
        result = -1;
    printf(result == 0 ? "ok\n" : "error: cannot do that (keys unknown to the US layout, or no compositor)\n");
    fflush(stdout);
}

int main(void)
{
    struct keyboard kb = {0};
    kb.display = wl_display_connect(NULL);
    if (!kb.display) {
        fprintf(stderr, "virtual_keyboard: no Wayland compositor: %s\n", strerror(errno));
        return 1;
    }
    struct wl_registry *registry = wl_display_get_registry(kb.display);
    wl_registry_add_listener(registry, &registry_listener, &kb);
    wl_display_roundtrip(kb.display);
    if (!kb.seat || !kb.manager) {
        fprintf(stderr, "virtual_keyboard: the compositor offers no %s\n",
                kb.seat ? "zwp_virtual_keyboard_manager_v1" : "seat");
        return 1;
    }
    kb.device = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(kb.manager, kb.seat);
    if (send_keymap(&kb) != 0 || wl_display_roundtrip(kb.display) < 0) {
        fprintf(stderr, "virtual_keyboard: could not give the compositor a keymap\n");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);

    char buffer[4096];
    size_t held = 0;
    struct pollfd fds[2] = {{.fd = STDIN_FILENO, .events = POLLIN},
                            {.fd = wl_display_get_fd(kb.display), .events = POLLIN}};
    for (;;) {
        wl_display_flush(kb.display);
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (wl_display_dispatch(kb.display) < 0) {
                fprintf(stderr, "virtual_keyboard: the compositor went away\n");
                return 1;
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            ssize_t got = read(STDIN_FILENO, buffer + held, sizeof buffer - 1 - held);
            if (got <= 0)
                break;  /* the end of input is the end of the keyboard */
            held += (size_t)got;
            char *end;
            while ((end = memchr(buffer, '\n', held))) {
                *end = '\0';
                run_command(&kb, buffer);
                held -= (size_t)(end + 1 - buffer);
                memmove(buffer, end + 1, held);
            }
            if (held == sizeof buffer - 1)
                held = 0;  /* a line too long for any command */
        }
    }
    zwp_virtual_keyboard_v1_destroy(kb.device);
    wl_display_roundtrip(kb.display);
    wl_display_disconnect(kb.display);
    return 0;
}
