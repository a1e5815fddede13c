// bridge-host's focus witness inside GNOME Shell: Mutter tells no other program which window has the
// focus, for Wayland windows least of all. This extension says it on the session bus, from the
// shell's own connection: the focused window's class (an X window's WM_CLASS, a Wayland window's
// app id), its pid, and whether it is a Wayland client; as a signal on every change, and on request.
import GLib from 'gi://GLib';
import Gio from 'gi://Gio';
import Meta from 'gi://Meta';

import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';

const PATH = '/org/bridgehost/FocusWitness';
const INTERFACE = `<node>
  <interface name="org.bridgehost.FocusWitness">
    <method name="Focused">
      <arg type="s" direction="out"/><arg type="u" direction="out"/><arg type="b" direction="out"/>
    </method>
    <signal name="FocusChanged"><arg type="s"/><arg type="u"/><arg type="b"/></signal>
  </interface>
</node>`;

function focused() {
    const window = global.display.focus_window;
    if (!window)
        return ['', 0, false];
    return [window.get_wm_class() ?? '', Math.max(window.get_pid(), 0),
        window.get_client_type() === Meta.WindowClientType.WAYLAND];
}

export default class FocusWitness extends Extension {
    enable() {
        this._object = Gio.DBusExportedObject.wrapJSObject(INTERFACE, {Focused: focused});
        this._object.export(Gio.DBus.session, PATH);
        this._watch = global.display.connect('notify::focus-window', () =>
            this._object.emit_signal('FocusChanged', new GLib.Variant('(sub)', focused())));
    }

    disable() {
        global.display.disconnect(this._watch);
        this._object.unexport();
        this._object = null;
    }
}
