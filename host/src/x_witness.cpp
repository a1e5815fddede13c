// The X side over xcb. Where a window manager publishes _NET_ACTIVE_WINDOW (EWMH), the root
// window's property events tell us every change and nothing is polled. Where none does (a bare X
// server), the X input focus is asked for on each poll(); with the focus at
// PointerRoot, keys go to the top-level window under the pointer, so that window is the one. The
// game's window is recognised by its WM_CLASS (ICCCM), looked for on the window and, for a focused
// child window, on its ancestors.
#include "x_witness.h"

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>
#include <xcb/xcb_icccm.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr int max_ancestors = 16;

template <typename Reply>
using reply_ptr = std::unique_ptr<Reply, decltype(&std::free)>;

template <typename Reply>
reply_ptr<Reply> owned(Reply *reply)
{
    return reply_ptr<Reply>(reply, &std::free);
}

}  // namespace

struct XDisplay::Connection {
    xcb_connection_t *c = nullptr;
    xcb_ewmh_connection_t ewmh{};
    bool ewmh_atoms = false;
    xcb_window_t root = XCB_NONE;
    xcb_atom_t clipboard = XCB_NONE;
    int screen = 0;  // of $DISPLAY (":0.1" is screen 1)

    ~Connection()
    {
        if (ewmh_atoms)
            xcb_ewmh_connection_wipe(&ewmh);
        if (c)
            xcb_disconnect(c);
    }

    // Whether the window's WM_CLASS names the game; has_class says whether it has a WM_CLASS at all.
    bool has_game_class(xcb_window_t window, bool &has_class)
    {
        xcb_icccm_get_wm_class_reply_t wm_class;
        has_class = xcb_icccm_get_wm_class_reply(c, xcb_icccm_get_wm_class(c, window), &wm_class, nullptr);
        if (!has_class)
            return false;
        bool game = is_game_name(wm_class.instance_name) || is_game_name(wm_class.class_name);
        xcb_icccm_get_wm_class_reply_wipe(&wm_class);
        return game;
    }

    xcb_window_t parent_of(xcb_window_t window)
    {
        auto tree = owned(xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr));
        return tree ? tree->parent : XCB_NONE;
    }

    bool is_game_window(xcb_window_t window)
    {
        for (int depth = 0; depth < max_ancestors && window != XCB_NONE && window != root; ++depth) {
            bool has_class = false;
            if (has_game_class(window, has_class))
                return true;
            if (has_class)
                return false;
            window = parent_of(window);
        }
        return false;
    }

    // The focused window as the X server has it; PointerRoot means the window under the pointer.
    xcb_window_t input_focus()
    {
        auto focus = owned(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        if (!focus)
            return XCB_NONE;
        if (focus->focus != XCB_INPUT_FOCUS_POINTER_ROOT)
            return focus->focus;
        auto pointer = owned(xcb_query_pointer_reply(c, xcb_query_pointer(c, root), nullptr));
        return pointer ? pointer->child : XCB_NONE;
    }
};

std::variant<std::unique_ptr<XDisplay>, std::string> XDisplay::open()
{
    const char *display = std::getenv("DISPLAY");
    if (!display || !*display)
        return std::string("no DISPLAY: bridge-host must run in the desktop session of the game");
    auto x = std::make_unique<Connection>();
    x->c = xcb_connect(nullptr, &x->screen);
    if (xcb_connection_has_error(x->c))
        return "cannot open the X display \"" + std::string(display) + "\"";
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(x->c));
    for (int i = 0; i < x->screen && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem)
        return "the X display \"" + std::string(display) + "\" has no screen " + std::to_string(x->screen);
    x->root = screens.data->root;
    auto clipboard = xcb_intern_atom(x->c, 0, std::strlen("CLIPBOARD"), "CLIPBOARD");
    x->ewmh_atoms = xcb_ewmh_init_atoms_replies(&x->ewmh, xcb_ewmh_init_atoms(x->c, &x->ewmh), nullptr);
    auto atom = owned(xcb_intern_atom_reply(x->c, clipboard, nullptr));
    if (!x->ewmh_atoms || !atom)
        return "the X display \"" + std::string(display) + "\" did not answer";
    x->clipboard = atom->atom;
    return std::unique_ptr<XDisplay>(new XDisplay(std::move(x)));
}

XDisplay::XDisplay(std::unique_ptr<Connection> connection) : x_(std::move(connection)) {}

XDisplay::~XDisplay() = default;

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
}

int XWitness::fd() const
{
    return xcb_get_file_descriptor(x_.c);
}

void XWitness::refresh()
{
    xcb_window_t active = XCB_NONE;
    // A window manager that starts or ends after us is noticed here: the property comes or goes.
    auto cookie = xcb_ewmh_get_active_window(&x_.ewmh, x_.screen);
    ewmh_ = xcb_ewmh_get_active_window_reply(&x_.ewmh, cookie, &active, nullptr);
    if (!ewmh_)
        active = x_.input_focus();
    game_active_ = x_.is_game_window(active);
}

bool XWitness::handle_events()
{
    bool changed = false;
    while (auto event = owned(xcb_poll_for_event(x_.c))) {
        if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY)
            continue;
        auto *property = reinterpret_cast<xcb_property_notify_event_t *>(event.get());
        changed |= property->window == x_.root && property->atom == x_.ewmh._NET_ACTIVE_WINDOW;
    }
    if (xcb_connection_has_error(x_.c))
        return false;
    if (changed)
        refresh();
    return true;
}

