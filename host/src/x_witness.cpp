// The X side over xcb. Where a window manager publishes _NET_ACTIVE_WINDOW (EWMH), the root
// window's property events tell us every change and nothing is polled. Where none does (a bare X
// server, gamescope), the X input focus is asked for whenever a top-level window tells us that the
// focus came or went (FocusIn, FocusOut), and on each poll() as well, for what no event shows; with
// the focus at PointerRoot, keys go to the top-level window under the pointer, so that window is the
// one. The game's window is recognised by its WM_CLASS (ICCCM), looked for on the window and, for a
// focused child window, on its ancestors.
//
// Wine lists WM_TAKE_FOCUS in its windows' WM_PROTOCOLS and then ignores FocusIn (Wine 8 always,
// later Wines under gamescope): it makes a window its foreground only when a WM_TAKE_FOCUS comes.
// Where the focus is given with no window manager to send one (gamescope gives it so), the game
// would never be in front for Wine again once it had lost the focus; so the witness sends it, as a
// window manager would, each time the X focus is given to the game's window.
#include "x_witness.h"

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>
#include <xcb/xcb_icccm.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr int max_ancestors = 16;

template <typename Reply>
using reply_ptr = std::unique_ptr<Reply, decltype(&std::free)>;

template <typename Reply>
reply_ptr<Reply> owned(Reply *reply)
{
    return reply_ptr<Reply>(reply, &std::free);
}

// xcb finds the key to a display in the file that XAUTHORITY names, when it connects: for another
// display than ours, the file of the program that uses it, named for that one call.
xcb_connection_t *connect(const char *display, const char *xauthority, int &screen)
{
    if (!xauthority || !*xauthority)
        return xcb_connect(display, &screen);
    const char *current = std::getenv("XAUTHORITY");
    std::string ours = current ? current : "";
    setenv("XAUTHORITY", xauthority, 1);
    xcb_connection_t *c = xcb_connect(display, &screen);
    if (current)
        setenv("XAUTHORITY", ours.c_str(), 1);
    else
        unsetenv("XAUTHORITY");
    return c;
}

}  // namespace

struct XDisplay::Connection {
    xcb_connection_t *c = nullptr;
    xcb_ewmh_connection_t ewmh{};
    bool ewmh_atoms = false;
    xcb_window_t root = XCB_NONE;
    xcb_atom_t clipboard = XCB_NONE;
    xcb_atom_t take_focus = XCB_NONE;
    int screen = 0;  // of the display (":0.1" is screen 1)

    ~Connection()
    {
        if (ewmh_atoms)
            xcb_ewmh_connection_wipe(&ewmh);
        if (c)
            xcb_disconnect(c);
    }

    // The kind of window that the window's WM_CLASS names; nothing when it has no WM_CLASS.
    std::optional<ActiveWindow> class_kind(xcb_window_t window)
    {
        xcb_icccm_get_wm_class_reply_t wm_class;
        if (!xcb_icccm_get_wm_class_reply(c, xcb_icccm_get_wm_class(c, window), &wm_class, nullptr))
            return std::nullopt;
        ActiveWindow kind = window_kind(wm_class.instance_name);
        if (kind == ActiveWindow::other)
            kind = window_kind(wm_class.class_name);
        xcb_icccm_get_wm_class_reply_wipe(&wm_class);
        return kind;
    }

    xcb_window_t parent_of(xcb_window_t window)
    {
        auto tree = owned(xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr));
        return tree ? tree->parent : XCB_NONE;
    }

    // The first among the window and its ancestors with a WM_CLASS, and its kind; none if no such.
    std::pair<xcb_window_t, ActiveWindow> classed_window(xcb_window_t window)
    {
        for (int depth = 0; depth < max_ancestors && window != XCB_NONE && window != root; ++depth) {
            if (auto kind = class_kind(window))
                return {window, *kind};
            window = parent_of(window);
        }
        return {XCB_NONE, ActiveWindow::other};
    }

    // The focused window as the X server has it; PointerRoot means the window under the pointer.
    // given says whether the focus was given to that window rather than following the pointer.
    xcb_window_t input_focus(bool &given)
    {
        auto focus = owned(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        given = focus && focus->focus != XCB_INPUT_FOCUS_POINTER_ROOT;
        if (!focus)
            return XCB_NONE;
        if (given)
            return focus->focus;
        auto pointer = owned(xcb_query_pointer_reply(c, xcb_query_pointer(c, root), nullptr));
        return pointer ? pointer->child : XCB_NONE;
    }

    // Tells us from now on of the focus coming to the window or its children, and leaving them.
    void watch_focus(xcb_window_t window)
    {
        uint32_t mask = XCB_EVENT_MASK_FOCUS_CHANGE;
        xcb_change_window_attributes(c, window, XCB_CW_EVENT_MASK, &mask);
    }

    // Sends the window a WM_TAKE_FOCUS (ICCCM) if its WM_PROTOCOLS lists it.
    void offer_focus(xcb_window_t window)
    {
        xcb_icccm_get_wm_protocols_reply_t protocols;
        auto cookie = xcb_icccm_get_wm_protocols(c, window, ewmh.WM_PROTOCOLS);
        if (!xcb_icccm_get_wm_protocols_reply(c, cookie, &protocols, nullptr))
            return;
        bool listed = std::find(protocols.atoms, protocols.atoms + protocols.atoms_len, take_focus) !=
                      protocols.atoms + protocols.atoms_len;
        xcb_icccm_get_wm_protocols_reply_wipe(&protocols);
        if (!listed)
            return;
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window;
        message.type = ewmh.WM_PROTOCOLS;
        message.data.data32[0] = take_focus;
        message.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(c, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&message));
        xcb_flush(c);
    }
};

std::variant<std::unique_ptr<XDisplay>, std::string> XDisplay::open(const char *name, const char *xauthority)
{
    const char *display = name ? name : std::getenv("DISPLAY");
    if (!display || !*display)
        return std::string("no DISPLAY: bridge-host must run in the desktop session of the game");
    auto x = std::make_unique<Connection>();
    x->c = connect(display, xauthority, x->screen);
    if (xcb_connection_has_error(x->c))
        return "cannot open the X display \"" + std::string(display) + "\"";
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(x->c));
    for (int i = 0; i < x->screen && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem)
        return "the X display \"" + std::string(display) + "\" has no screen " + std::to_string(x->screen);
    x->root = screens.data->root;
    auto clipboard = xcb_intern_atom(x->c, 0, std::strlen("CLIPBOARD"), "CLIPBOARD");
    auto take_focus = xcb_intern_atom(x->c, 0, std::strlen("WM_TAKE_FOCUS"), "WM_TAKE_FOCUS");
    x->ewmh_atoms = xcb_ewmh_init_atoms_replies(&x->ewmh, xcb_ewmh_init_atoms(x->c, &x->ewmh), nullptr);
    auto clipboard_atom = owned(xcb_intern_atom_reply(x->c, clipboard, nullptr));
    auto take_focus_atom = owned(xcb_intern_atom_reply(x->c, take_focus, nullptr));
    if (!x->ewmh_atoms || !clipboard_atom || !take_focus_atom)
        return "the X display \"" + std::string(display) + "\" did not answer";
    x->clipboard = clipboard_atom->atom;
    x->take_focus = take_focus_atom->atom;
    return std::unique_ptr<XDisplay>(new XDisplay(std::move(x)));
}

XDisplay::XDisplay(std::unique_ptr<Connection> connection) : x_(std::move(connection)) {}

XDisplay::~XDisplay() = default;

xcb_connection_t *XDisplay::xcb() const
{
    return x_->c;
}

uint32_t XDisplay::root() const
{
    return x_->root;
}

std::optional<bool> XDisplay::clipboard_owned()
{
    auto cookie = xcb_get_selection_owner(x_->c, x_->clipboard);
    auto reply = owned(xcb_get_selection_owner_reply(x_->c, cookie, nullptr));
    if (!reply)
        return std::nullopt;  // the connection is lost, or X refused
    return reply->owner != XCB_NONE;
}

XWitness::XWitness(XDisplay &display) : x_(display.connection())
{
    uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(x_.c, x_.root, XCB_CW_EVENT_MASK, &mask);
    refresh();
    if (ewmh_)
        return;
    // With no window manager, the focus events of every top-level window, those made later too.
    mask |= XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x_.c, x_.root, XCB_CW_EVENT_MASK, &mask);
    auto tree = owned(xcb_query_tree_reply(x_.c, xcb_query_tree(x_.c, x_.root), nullptr));
    xcb_window_t *children = tree ? xcb_query_tree_children(tree.get()) : nullptr;
    for (int i = 0; tree && i < xcb_query_tree_children_length(tree.get()); ++i)
        x_.watch_focus(children[i]);
    refresh();  // a change while we were not yet told
}

int XWitness::fd() const
{
    return xcb_get_file_descriptor(x_.c);
}

// focus_given: a FocusIn came since the last look, so the focus may have been given anew.
void XWitness::refresh(bool focus_given)
{
    xcb_window_t active = XCB_NONE;
    bool given = false;
    // A window manager that starts or ends after us is noticed here: the property comes or goes.
    auto cookie = xcb_ewmh_get_active_window(&x_.ewmh, x_.screen);
    ewmh_ = xcb_ewmh_get_active_window_reply(&x_.ewmh, cookie, &active, nullptr);
    if (!ewmh_)
        active = x_.input_focus(given);
    auto [shown, kind] = x_.classed_window(active);
    bool came = active_ != ActiveWindow::game;
    active_ = kind;
    if (active_ == ActiveWindow::game && given && (came || focus_given))
        x_.offer_focus(shown);
}

bool XWitness::handle_events()
{
    bool changed = false, focus_given = false;
    while (auto event = owned(xcb_poll_for_event(x_.c))) {
        switch (event->response_type & 0x7f) {
        case XCB_PROPERTY_NOTIFY: {
            auto *property = reinterpret_cast<xcb_property_notify_event_t *>(event.get());
            changed |= property->window == x_.root && property->atom == x_.ewmh._NET_ACTIVE_WINDOW;
            break;
        }
        case XCB_CREATE_NOTIFY: {
            auto *created = reinterpret_cast<xcb_create_notify_event_t *>(event.get());
            if (created->parent == x_.root)
                x_.watch_focus(created->window);
            break;
        }
        case XCB_FOCUS_IN: {
            // Given from outside: not moved up from a child, nor a keyboard grab's coming or going.
            auto *focus = reinterpret_cast<xcb_focus_in_event_t *>(event.get());
            focus_given |= focus->detail != XCB_NOTIFY_DETAIL_INFERIOR && focus->detail < XCB_NOTIFY_DETAIL_POINTER &&
                           (focus->mode == XCB_NOTIFY_MODE_NORMAL || focus->mode == XCB_NOTIFY_MODE_WHILE_GRABBED);
            changed = true;
            break;
        }
        case XCB_FOCUS_OUT: changed = true; break;
        default: break;
        }
    }
    if (xcb_connection_has_error(x_.c))
        return false;
    if (changed)
        refresh(focus_given);
    return true;
}

