// The tests' hand inside GNOME Shell, which takes no orders from outside: it leaves the overview
// that the shell starts in (where new windows get no focus), and activates a window by its title on
// request (org.bridgehost.Test.Activate on the session bus), as a click or Alt+Tab would.
import Gio from 'gi://Gio';

import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';
import * as Main from 'resource:///org/gnome/shell/ui/main.js';

const INTERFACE = `<node>
  <interface name="org.bridgehost.Test">
    <method name="Activate"><arg type="s" direction="in"/><arg type="b" direction="out"/></method>
  </interface>
</node>`;

function activate(title) {
    const window = global.get_window_actors().map(actor => actor.meta_window)
        .find(candidate => candidate.get_title() === title);
    if (window)
        window.activate(global.get_current_time());
    return window !== undefined;
}

export default class TestHand extends Extension {
    enable() {
        this._object = Gio.DBusExportedObject.wrapJSObject(INTERFACE, {Activate: activate});
        this._object.export(Gio.DBus.session, '/org/bridgehost/Test');
        if (Main.layoutManager._startingUp)
            this._startup = Main.layoutManager.connect('startup-complete', () => Main.overview.hide());
        else
            Main.overview.hide();
    }

    disable() {
        if (this._startup)
            Main.layoutManager.disconnect(this._startup);
        this._object.unexport();
        this._object = null;
    }
}
