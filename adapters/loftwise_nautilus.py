"""LoftwiseCM submenu in Nautilus 43 (nautilus-python 4.0)."""

import os
import sys

import gi

gi.require_version("Nautilus", "4.0")
from gi.repository import GObject, Nautilus  # noqa: E402

# The shared module is installed beside this file.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import loftwise_menu  # noqa: E402


class LoftwiseCMMenuProvider(GObject.GObject, Nautilus.MenuProvider):

    def get_file_items(self, *args):
        # 4.0 passes the files alone; older versions put the window first.
        return loftwise_menu.menu_items(Nautilus, args[-1] if args else [], "LoftwiseCM")


# The user's own copy, when there is one, serves the menu.
if loftwise_menu.stands_back(__file__):
    del LoftwiseCMMenuProvider
