/* The end-to-end tests' clipboard persister on a wlroots compositor: a wlr-data-control client that,
 * whenever the seat's selection becomes someone else's, reads its text and takes the selection over
 * with a source of its own that serves the same text, as clipboard persisters on Wayland desktops do.
 *
 * What it is for: under such a program, every copy that Wine makes (the bridge's command, the game's
 * answer, the user's clipboard given back) is taken over at once, and the compositor's X window
 * manager then owns CLIPBOARD for X clients, so that Wine imports the same text again under its X
 * clipboard bridge. The tests show that the bridge still gets positions and keeps the user's
 * clipboard there.
 *
 * The text is read as text/plain;charset=utf-8, else UTF8_STRING, whichever the offer has, and served
 * under both. An offer with neither, a read that fails, stalls or gives nothing, and a newer selection
 * that comes while reading leave the selection as it is (said on stderr). A cleared selection is left
 * cleared.
 *
 * Standard output: "ready" once bound to the seat, then "reserved <bytes>" each time it owns the
 * selection again, once the compositor has taken its source. It runs until its standard input ends.
 * Environment: WAYLAND_DISPLAY (and XDG_RUNTIME_DIR when it is not a path), as for any client. */
#define _GNU_SOURCE
#include "wlr-data-control-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define READ_LIMIT_MS 2000 /* an owner that sends nothing for this long is given up */

static const char *const text_types[] = {"text/plain;charset=utf-8", "UTF8_STRING"};

struct persister {
    struct wl_display *display;
    struct wl_seat *seat;
    struct zwlr_data_control_manager_v1 *manager;
    struct zwlr_data_control_device_v1 *device;
    struct zwlr_data_control_offer_v1 *offer;   /* the selection now, NULL when cleared */
    int foreign;                                /* that offer is someone else's, not taken over yet */
    unsigned changes;                           /* selection events so far */
    struct zwlr_data_control_source_v1 *source; /* ours, until the compositor cancels it */
    char *text;                                 /* what our source serves */
    size_t length;
    int lost;                                   /* the seat went away */
};

static void on_global(void *data, struct wl_registry *registry, uint32_t name, const char *interface,
                      uint32_t version)
{
    struct persister *p = data;
    (void)version;
    if (!p->seat && strcmp(interface, wl_seat_interface.name) == 0)
        p->seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
    else if (strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0)
        p->manager = wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 1);
}

static void on_global_remove(void *data, struct wl_registry *registry, uint32_t name)
{
    (void)data, (void)registry, (void)name;
}

static const struct wl_registry_listener registry_listener = {on_global, on_global_remove};

/* An offer's user data holds one bit per text type it lists (bit i for text_types[i]). */
static void on_offer_type(void *data, struct zwlr_data_control_offer_v1 *offer, const char *mime_type)
{
    (void)data;
    uintptr_t types = (uintptr_t)zwlr_data_control_offer_v1_get_user_data(offer);
    for (size_t i = 0; i < sizeof text_types / sizeof *text_types; i++)
        if (strcmp(mime_type, text_types[i]) == 0)
            types |= (uintptr_t)1 << i;
    zwlr_data_control_offer_v1_set_user_data(offer, (void *)types);
}

static const struct zwlr_data_control_offer_v1_listener offer_listener = {on_offer_type};

static void on_data_offer(void *data, struct zwlr_data_control_device_v1 *device,
                          struct zwlr_data_control_offer_v1 *offer)
{
    (void)data, (void)device;
    zwlr_data_control_offer_v1_add_listener(offer, &offer_listener, NULL);
}

static void on_selection(void *data, struct zwlr_data_control_device_v1 *device,
                         struct zwlr_data_control_offer_v1 *offer)
{
    struct persister *p = data;
    (void)device;
    p->changes++;
    if (p->offer)
        zwlr_data_control_offer_v1_destroy(p->offer);
    p->offer = offer;
    /* Our own selection is announced to us too. The compositor cancels the source that a new
     * selection replaces before it announces that selection, so a selection that comes while our
     * source lives is ours. */
    p->foreign = offer && !p->source;
}

static void on_finished(void *data, struct zwlr_data_control_device_v1 *device)
{
    struct persister *p = data;
    (void)device;
    p->lost = 1;
}

static const struct zwlr_data_control_device_v1_listener device_listener = {on_data_offer, on_selection,
                                                                            on_finished, NULL};

static void on_send(void *data, struct zwlr_data_control_source_v1 *source, const char *mime_type, int32_t fd)
{
    struct persister *p = data;
    (void)source, (void)mime_type;
    /* Both types carry the same UTF-8 bytes. A reader that goes away early only ends this write. */
    for (size_t sent = 0; sent < p->length;) {
        ssize_t wrote = write(fd, p->text + sent, p->length - sent);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            break;
        sent += (size_t)wrote;
    }
    close(fd);
}

static void on_cancelled(void *data, struct zwlr_data_control_source_v1 *source)
{
    struct persister *p = data;
    if (source == p->source)
        p->source = NULL;
    zwlr_data_control_source_v1_destroy(source);
}

static const struct zwlr_data_control_source_v1_listener source_listener = {on_send, on_cancelled};

/* The offer's data in that type, read to its end; 0 when the read fails, stalls or gives nothing (an
 * owner that could not answer: taking that over would empty the clipboard). */
static int receive_text(struct persister *p, const char *mime_type, char **text, size_t *length)
{
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return 0;
    zwlr_data_control_offer_v1_receive(p->offer, mime_type, pipe_fds[1]);
    close(pipe_fds[1]);
    wl_display_flush(p->display);

    size_t capacity = 4096, held = 0;
    char *buffer = malloc(capacity);
    int done = 0;
    struct pollfd readable = {.fd = pipe_fds[0], .events = POLLIN};
    while (buffer && !done) {
        int ready = poll(&readable, 1, READ_LIMIT_MS);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        if (held == capacity) {
            char *larger = realloc(buffer, capacity *= 2);
            if (!larger)
                break;
            buffer = larger;
        }
        ssize_t got = read(pipe_fds[0], buffer + held, capacity - held);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        held += (size_t)got;
        done = got == 0;
    }
    close(pipe_fds[0]);
    if (!done || held == 0) {
        free(buffer);
        return 0;
    }
    *text = buffer;
    *length = held;
    return 1;
}

/* Reads the foreign selection's text and makes a selection of ours that serves it. */
static void take_over(struct persister *p)
{
    p->foreign = 0;
    uintptr_t types = (uintptr_t)zwlr_data_control_offer_v1_get_user_data(p->offer);
    const char *mime_type = types & 1 ? text_types[0] : types & 2 ? text_types[1] : NULL;
    if (!mime_type) {
        fprintf(stderr, "wayland_persister: the selection offers no text\n");
        return;
    }
    unsigned seen = p->changes;
    char *text;
    size_t length;
    if (!receive_text(p, mime_type, &text, &length)) {
        fprintf(stderr, "wayland_persister: the read of %s failed, stalled or gave nothing\n", mime_type);
        return;
    }
    /* A selection made while we read is newer than what we read: that one is taken over instead. */
    wl_display_roundtrip(p->display);
    if (p->changes != seen) {
        free(text);
        fprintf(stderr, "wayland_persister: the selection changed while it was read\n");
        return;
    }
    free(p->text);
    p->text = text;
    p->length = length;
    p->source = zwlr_data_control_manager_v1_create_data_source(p->manager);
    zwlr_data_control_source_v1_add_listener(p->source, &source_listener, p);
    for (size_t i = 0; i < sizeof text_types / sizeof *text_types; i++)
        zwlr_data_control_source_v1_offer(p->source, text_types[i]);
    zwlr_data_control_device_v1_set_selection(p->device, p->source);
    wl_display_roundtrip(p->display);
    if (p->source) {
        printf("reserved %zu\n", length);
        fflush(stdout);
    }
}

int main(void)
{
    signal(SIGPIPE, SIG_IGN); /* a reader that closes its end early */
    struct persister p = {0};
    p.display = wl_display_connect(NULL);
    if (!p.display) {
        fprintf(stderr, "wayland_persister: no Wayland compositor: %s\n", strerror(errno));
        return 1;
    }
    struct wl_registry *registry = wl_display_get_registry(p.display);
    wl_registry_add_listener(registry, &registry_listener, &p);
    wl_display_roundtrip(p.display);
    if (!p.seat || !p.manager) {
        fprintf(stderr, "wayland_persister: the compositor offers no %s\n",
                p.seat ? "zwlr_data_control_manager_v1" : "seat");
        return 1;
    }
    p.device = zwlr_data_control_manager_v1_get_data_device(p.manager, p.seat);
    zwlr_data_control_device_v1_add_listener(p.device, &device_listener, &p);
    wl_display_roundtrip(p.display); /* the selection as it is now */
    printf("ready\n");
    fflush(stdout);

    struct pollfd fds[2] = {{.fd = STDIN_FILENO, .events = POLLIN},
                            {.fd = wl_display_get_fd(p.display), .events = POLLIN}};
    int status = 0;
    for (;;) {
        if (p.foreign) {
            take_over(&p);
            continue;
        }
        if (wl_display_dispatch_pending(p.display) < 0 || p.lost) {
            fprintf(stderr, "wayland_persister: the compositor or the seat went away\n");
            status = 1;
            break;
        }
        if (p.foreign)
            continue;
        wl_display_flush(p.display);
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            status = 1;
            break;
        }
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) && wl_display_dispatch(p.display) < 0) {
            fprintf(stderr, "wayland_persister: the compositor went away\n");
            status = 1;
            break;
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            char discard[256];
            if (read(STDIN_FILENO, discard, sizeof discard) <= 0)
                break; /* the end of input is the end of the persister */
        }
    }
    free(p.text);
    wl_display_disconnect(p.display);
    return status;
}
