"""LoftwiseCM submenu in Thunar (thunarx-python)."""

import os
import sys

import gi

gi.require_version("Thunarx", "3.0")
from gi.repository import GObject, Thunarx  # noqa: E402

# The shared module is installed beside this file.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import loftwise_menu  # noqa: E402


class LoftwiseCMMenuProvider(GObject.GObject, Thunarx.MenuProvider):

    def get_file_menu_items(self, window, files):
        return loftwise_menu.menu_items(Thunarx, files, "LoftwiseCM")


# The user's own copy, when there is one, serves the menu.
if loftwise_menu.stands_back(__file__):
    del LoftwiseCMMenuProvider
