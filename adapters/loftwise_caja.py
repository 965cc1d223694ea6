"""LoftwiseCM submenu in Caja (python3-caja)."""

import os
import sys

import gi

gi.require_version("Caja", "2.0")
from gi.repository import Caja, GObject  # noqa: E402

# The shared module is installed beside this file.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import loftwise_menu  # noqa: E402


class LoftwiseCMMenuProvider(GObject.GObject, Caja.MenuProvider):

    def get_file_items(self, *args):
        return loftwise_menu.menu_items(Caja, args[-1] if args else [], "LoftwiseCM")


# The user's own copy, when there is one, serves the menu.
if loftwise_menu.stands_back(__file__):
    del LoftwiseCMMenuProvider
