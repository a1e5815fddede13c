"""test_gnome.py's install and witness tests on GNOME Shell 43 (Debian 12's; GNOME 44 takes the same
extension format), from the Debian 12 root (scripts/gnome43.sh): bridge-host installs the legacy
build of our extension there, and the shell's next start runs it."""

import unittest

import test_gnome


class ExtensionInstall43(test_gnome.ExtensionInstall):
    desktop = "gnome43"


class HostUnderGnome43(test_gnome.HostUnderGnome):
    desktop = "gnome43-ours"


if __name__ == "__main__":
    unittest.main()
