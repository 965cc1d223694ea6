"""LoftwiseCM submenu in Nemo (nemo-python)."""

import os
import sys

import gi

gi.require_version("Nemo", "3.0")
from gi.repository import GObject, Nemo  # noqa: E402

# The shared module is installed beside this file.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import loftwise_menu  # noqa: E402


class LoftwiseCMMenuProvider(GObject.GObject, Nemo.MenuProvider):

    def get_file_items(self, *args):
        # Nemo's menu items can be separators.
        return loftwise_menu.menu_items(Nemo, args[-1] if args else [], "LoftwiseCM",
                                        separators=True)


# The user's own copy, when there is one, serves the menu.
if loftwise_menu.stands_back(__file__):
    del LoftwiseCMMenuProvider
