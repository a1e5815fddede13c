/* A program between Wine and X's clipboard, as gamescope's window manager, a clipboard persister or
 * a clipboard manager that synchronises selections is: whenever another client takes CLIPBOARD, it
 * reads the UTF-8 text from that client and owns CLIPBOARD again, serving that same text (TARGETS
 * and UTF8_STRING only). A client that offers no UTF-8 text is left as the owner until it changes.
 *
 *   x_intermediary [--delay MS]     re-serve MS milliseconds after reading the text (default 0)
 *
 * Standard output: "ready" once connected, then "reserved <bytes>" each time it owns the clipboard
 * again. It runs until its standard input ends (or it is killed). A line "wake" on standard input
 * makes it take CLIPBOARD again with the text it serves, and answer "woken": Wine's X clipboard
 * bridge was seen asleep after an import, deaf to window messages until its next X event, and the
 * notice of a new owner is one. Environment: DISPLAY. */
#define _GNU_SOURCE
#include <xcb/xcb.h>

#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define MAX_TEXT (256 * 1024) /* one property read; the tests' texts are short */
#define POLL_MS 5             /* the owner is looked at this often while it is somebody else */
#define ANSWER_MS 1000        /* an owner that has not converted by then is given up for a while */
#define REASK_MS 100          /* an owner that gave no text is asked again this much later: Wine keeps one
                                 X window for every Windows copy, so a new copy may come from the same owner */

static xcb_connection_t *x;
static xcb_window_t window;
static xcb_atom_t clipboard, targets, utf8, property;
static char text[MAX_TEXT];
static uint32_t text_length;
static int owning;
static xcb_window_t refused_owner; /* an owner that gave no text, not asked again before refused_until */
static struct timespec refused_until;

static xcb_atom_t atom(const char *name)
{
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, strlen(name), name), NULL);
    xcb_atom_t found = reply ? reply->atom : XCB_ATOM_NONE;
    free(reply);
    return found;
}

static void sleep_ms(int ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, NULL);
}

static void answer_request(const xcb_selection_request_event_t *request)
{
    xcb_selection_notify_event_t notify = {.response_type = XCB_SELECTION_NOTIFY,
                                           .time = request->time,
                                           .requestor = request->requestor,
                                           .selection = request->selection,
                                           .target = request->target,
                                           .property = XCB_ATOM_NONE};
    xcb_atom_t reply_property = request->property ? request->property : request->target;
    if (owning && request->target == targets) {
        xcb_atom_t offered[] = {targets, utf8};
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, request->requestor, reply_property, XCB_ATOM_ATOM, 32, 2,
                            offered);
        notify.property = reply_property;
    } else if (owning && request->target == utf8) {
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, request->requestor, reply_property, utf8, 8, text_length,
                            text);
        notify.property = reply_property;
    }
    xcb_send_event(x, 0, request->requestor, XCB_EVENT_MASK_NO_EVENT, (const char *)&notify);
    xcb_flush(x);
}

/* Handles one event; 1 for a SelectionNotify that answered our conversion (its property read). */
static int handle(xcb_generic_event_t *event, int *converted)
{
    switch (event->response_type & 0x7f) {
    case XCB_SELECTION_REQUEST:
        answer_request((xcb_selection_request_event_t *)event);
        return 0;
    case XCB_SELECTION_CLEAR:
        owning = 0;
        refused_owner = XCB_WINDOW_NONE;
        return 0;
    case XCB_SELECTION_NOTIFY: {
        xcb_selection_notify_event_t *notify = (xcb_selection_notify_event_t *)event;
        *converted = 0;
        if (notify->property == XCB_ATOM_NONE)
            return 1;
        xcb_get_property_reply_t *reply = xcb_get_property_reply(
            x, xcb_get_property(x, 1, window, property, XCB_ATOM_ANY, 0, MAX_TEXT / 4), NULL);
        if (reply && reply->type == utf8 && reply->format == 8 && reply->bytes_after == 0) {
            text_length = xcb_get_property_value_length(reply);
            memcpy(text, xcb_get_property_value(reply), text_length);
            *converted = 1;
        }
        free(reply);
        return 1;
    }
    default:
        return 0;
    }
}

static xcb_window_t current_owner(void)
{
    xcb_get_selection_owner_reply_t *reply =
        xcb_get_selection_owner_reply(x, xcb_get_selection_owner(x, clipboard), NULL);
    xcb_window_t owner = reply ? reply->owner : XCB_WINDOW_NONE;
    free(reply);
    return owner;
}

/* Asks the owner for its UTF-8 text; 1 when text holds it. Requests to us are served meanwhile. */
static int read_owner_text(void)
{
    xcb_convert_selection(x, window, clipboard, utf8, property, XCB_CURRENT_TIME);
    xcb_flush(x);
    struct pollfd fd = {xcb_get_file_descriptor(x), POLLIN, 0};
    for (int waited = 0; waited < ANSWER_MS; waited += POLL_MS) {
        xcb_generic_event_t *event;
        while ((event = xcb_poll_for_event(x))) {
            int converted = 0, answered = handle(event, &converted);
            free(event);
            if (answered)
                return converted;
        }
        poll(&fd, 1, POLL_MS);
        if (xcb_connection_has_error(x))
            exit(1);
    }
    return 0;
}

/* Takes CLIPBOARD again with the text it serves: every client that watches CLIPBOARD hears of it. */
static void own_again(void)
{
    if (owning)
        xcb_set_selection_owner(x, window, clipboard, XCB_CURRENT_TIME);
    xcb_flush(x);
    printf("woken\n");
}

static int later_than(struct timespec a, struct timespec b)
{
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

static void take_over(int delay_ms)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    xcb_window_t owner = current_owner();
    if (owner == XCB_WINDOW_NONE || owner == window || (owner == refused_owner && later_than(refused_until, now)))
        return;
    if (!read_owner_text()) {
        refused_owner = owner;
        refused_until = now;
        refused_until.tv_nsec += REASK_MS * 1000000L;
        if (refused_until.tv_nsec >= 1000000000L) {
            refused_until.tv_sec++;
            refused_until.tv_nsec -= 1000000000L;
        }
        return;
    }
    if (delay_ms)
        sleep_ms(delay_ms);
    xcb_set_selection_owner(x, window, clipboard, XCB_CURRENT_TIME);
    owning = current_owner() == window;
    if (owning)
        printf("reserved %u\n", text_length);
}

int main(int argc, char **argv)
{
    int delay_ms = 0;
    if (argc == 3 && strcmp(argv[1], "--delay") == 0)
        delay_ms = atoi(argv[2]);
    else if (argc != 1) {
        fprintf(stderr, "usage: x_intermediary [--delay MS]\n");
        return 2;
    }
    setvbuf(stdout, NULL, _IOLBF, 0);
    x = xcb_connect(NULL, NULL);
    if (xcb_connection_has_error(x)) {
        fprintf(stderr, "x_intermediary: cannot connect to the X display\n");
        return 1;
    }
    xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(x)).data;
    window = xcb_generate_id(x);
    xcb_create_window(x, 0, window, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT,
                      0, NULL);
    clipboard = atom("CLIPBOARD");
    targets = atom("TARGETS");
    utf8 = atom("UTF8_STRING");
    property = atom("X_INTERMEDIARY_TEXT");
    printf("ready\n");

    struct pollfd fds[2] = {{xcb_get_file_descriptor(x), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    for (;;) {
        // Events that came in with a reply wait in xcb's queue, where poll() cannot see them.
        xcb_generic_event_t *event;
        while ((event = xcb_poll_for_event(x))) {
            int converted;
            handle(event, &converted);
            free(event);
        }
        if (xcb_connection_has_error(x))
            return 1;
        if (!owning) {
            take_over(delay_ms);
            if ((event = xcb_poll_for_queued_event(x))) {
                int converted;
                handle(event, &converted);
                free(event);
                continue;
            }
        }
        xcb_flush(x);
        poll(fds, 2, owning ? -1 : POLL_MS);
        if (fds[1].revents) {
            char buffer[256];
            ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer - 1);
            if (got <= 0)
                return 0;
            buffer[got] = 0;
            if (strstr(buffer, "wake"))
                own_again();
        }
    }
}
