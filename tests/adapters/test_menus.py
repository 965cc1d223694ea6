"""The file-manager extensions against the real introspection data, with a
stub in place of loftwise-context-menu."""

import importlib.util
import json
import os
import pathlib
import shutil
import signal
import sys
import tempfile
import time
import unittest
from unittest import mock

HERE = os.path.dirname(os.path.abspath(__file__))
ADAPTERS = os.path.join(HERE, "..", "..", "adapters")
STUB = os.path.join(HERE, "stub_host.py")
sys.path.insert(0, ADAPTERS)

import gi  # noqa: E402

for _ns, _version in (("Nautilus", "4.0"), ("Nemo", "3.0"), ("Caja", "2.0"), ("Thunarx", "3.0")):
    gi.require_version(_ns, _version)
from gi.repository import Caja, Gio, Nautilus, Nemo, Thunarx  # noqa: E402

import loftwise_menu  # noqa: E402


def load_extension(name):
    spec = importlib.util.spec_from_file_location(name, os.path.join(ADAPTERS, name + ".py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.LoftwiseCMMenuProvider()


class FileInfo:
    """What the adapters use of the file managers' FileInfo objects."""

    def __init__(self, location):
        self.location = location

    def get_location(self):
        return self.location

    def get_uri(self):
        return self.location.get_uri()


def shape(items):
    """A native menu as (label, sensitive[, submenu]) tuples, "---" for a
    separator."""
    out = []
    for item in items:
        if getattr(item.props, "separator", False):
            out.append("---")
            continue
        row = (item.props.label, item.props.sensitive)
        if item.props.menu is not None:
            row += (shape(item.props.menu.get_items()),)
        out.append(row)
    return out


def alive(pid):
    return os.path.exists("/proc/%d" % pid)


class StubHostCase(unittest.TestCase):

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="loftwise-adapters-")
        self.log = os.path.join(self.tmp, "calls")
        self.folder = os.path.join(self.tmp, "a folder")
        self.file = os.path.join(self.tmp, "b -x.txt")
        os.mkdir(self.folder)
        open(self.file, "w").close()
        self.settings = os.path.join(self.tmp, "config", "Preferences",
                                     "com.brisk-alder.LoftwiseCM.plist")
        env = mock.patch.dict(os.environ, {
            "LOFTWISE_CONTEXT_MENU": STUB,
            "LOFTWISE_STUB_LOG": self.log,
            "LOFTWISE_STUB_MODE": "ok",
            "XDG_CONFIG_HOME": os.path.join(self.tmp, "config"),
            # The stub runs on the interpreter running the tests.
            "PATH": os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", ""),
        })
        env.start()
        self.addCleanup(env.stop)
        loftwise_menu.clear_cache()

    def tearDown(self):
        for call in self.calls():
            if alive(call["pid"]):
                os.kill(call["pid"], signal.SIGKILL)
        shutil.rmtree(self.tmp)

    def calls(self, option=None):
        lines = pathlib.Path(self.log).read_text() if os.path.exists(self.log) else ""
        calls = [json.loads(line) for line in lines.splitlines()]
        return [c for c in calls if option in (None, c["args"][0])]

    def files(self, *paths):
        return [FileInfo(Gio.File.new_for_path(p)) for p in paths]

    def wait_for_call(self, option):
        for _ in range(500):
            if self.calls(option):
                return self.calls(option)[-1]
            time.sleep(0.02)
        self.fail("the host was not started with " + option)


class ExtensionMenus(StubHostCase):

    INNER = [
        ("Servers", False),
        ("Upload to example__host", True),
        ("Clients", True, [("Acme FTP", True)]),
        ("Empty group", False),
        "---",
        ("Not now", False),
        ("Open Log", True),
    ]

    def test_each_extension_builds_the_submenu_and_starts_the_chosen_command(self):
        rows = [
            # extension, toolkit, menu method's arguments before the files
            ("loftwise_nautilus", Nautilus, "get_file_items", ()),
            ("loftwise_nautilus", Nautilus, "get_file_items", (None,)),  # before 4.0
            ("loftwise_nemo", Nemo, "get_file_items", (None,)),
            ("loftwise_caja", Caja, "get_file_items", (None,)),
            ("loftwise_thunar", Thunarx, "get_file_menu_items", (None,)),
        ]
        for name, kit, method, leading in rows:
            with self.subTest(name):
                loftwise_menu.clear_cache()
                provider = load_extension(name)
                items = getattr(provider, method)(*leading, self.files(self.folder, self.file))

                expected = list(self.INNER)
                if kit is not Nemo:  # the others have no separators
                    expected.remove("---")
                self.assertEqual(shape(items), [("LoftwiseCM", True, expected)])
                self.assertTrue(all(isinstance(i, kit.MenuItem) for i in items))
                self.assertEqual(self.calls("--list")[-1]["args"],
                                 ["--list", "--json", self.folder, self.file])

                started = time.monotonic()
                items[0].props.menu.get_items()[1].activate()
                self.assertLess(time.monotonic() - started, 0.5)
                call = self.wait_for_call("--choose")
                self.assertEqual(call["args"],
                                 ["--choose", "Upload to example_host", self.folder, self.file])
                self.assertTrue(alive(call["pid"]), "the command should still be running")
                os.kill(call["pid"], signal.SIGKILL)
                os.unlink(self.log)


class SystemWideCopies(StubHostCase):

    def test_a_system_wide_extension_stands_back_for_the_users_own_copy(self):
        system = os.path.join(self.tmp, "usr-share")
        data = os.path.join(self.tmp, "data")
        installed = os.path.join(system, "nautilus-python", "extensions", "loftwise_nautilus.py")
        users = os.path.join(data, "nautilus-python", "extensions", "loftwise_nautilus.py")
        rows = [
            # extension, whether the user has a copy, stands back
            (installed, False, False),
            (installed, True, True),
            (users, True, False),
            (os.path.join(ADAPTERS, "loftwise_nautilus.py"), True, False),
        ]
        with mock.patch.dict(os.environ, {"XDG_DATA_HOME": data}):
            for extension, user_copy, expected in rows:
                with self.subTest(extension=extension, user_copy=user_copy):
                    shutil.rmtree(data, ignore_errors=True)
                    if user_copy:
                        os.makedirs(os.path.dirname(users))
                        open(users, "w").close()
                    self.assertEqual(loftwise_menu.stands_back(extension, system), expected)
        # One that stands back offers the file manager no menu provider.
        for name in ("loftwise_nautilus", "loftwise_nemo", "loftwise_caja", "loftwise_thunar"):
            with self.subTest(name), mock.patch.object(loftwise_menu, "stands_back",
                                                       lambda path: True):
                with self.assertRaises(AttributeError):
                    load_extension(name)


class HostFaults(StubHostCase):

    def menu(self, files):
        return loftwise_menu.menu_items(Nautilus, files, "LoftwiseCM")

    def test_no_submenu_when_the_host_cannot_give_one(self):
        rows = [
            # name, environment, files, whether the host is started
            ("hangs", {"LOFTWISE_STUB_MODE": "hang"}, None, True),
            ("fails", {"LOFTWISE_STUB_MODE": "fail"}, None, True),
            ("answers garbage", {"LOFTWISE_STUB_MODE": "garbage"}, None, True),
            ("is missing", {"LOFTWISE_CONTEXT_MENU": os.path.join(HERE, "absent")}, None, False),
            ("gets a remote file", {}, [FileInfo(Gio.File.new_for_uri("sftp://host/x"))], False),
            ("gets nothing", {}, [], False),
        ]
        for name, env, files, started in rows:
            with self.subTest(name), mock.patch.dict(os.environ, env):
                loftwise_menu.clear_cache()
                before = len(self.calls())
                begun = time.monotonic()
                self.assertEqual(self.menu(self.files(self.file) if files is None else files), [])
                self.assertLess(time.monotonic() - begun, loftwise_menu.LIST_TIMEOUT + 1.0)
                calls = self.calls()[before:]
                self.assertEqual(len(calls), 1 if started else 0)
                for call in calls:  # a hung host is ended, not left behind
                    self.assertFalse(alive(call["pid"]))

    def test_the_answer_is_kept_until_the_settings_change(self):
        def touch():
            os.makedirs(os.path.dirname(self.settings), exist_ok=True)
            with open(self.settings, "a"):
                pass
            st = os.stat(self.settings)
            os.utime(self.settings, ns=(st.st_atime_ns, st.st_mtime_ns + 10**9))

        def fail():
            os.environ["LOFTWISE_STUB_MODE"] = "fail"

        rows = [
            # step, files, host calls so far
            (None, (self.folder, self.file), 1),
            (None, (self.folder,), 1),  # only the first item's kind counts
            (None, (self.file, self.folder), 2),
            (None, (self.folder, self.file), 2),
            (touch, (self.folder,), 3),  # settings file appears
            (None, (self.folder,), 3),
            (touch, (self.folder,), 4),  # and changes
            (fail, (self.file,), 5),
            (None, (self.file,), 6),  # a failure is not kept
        ]
        for i, (step, paths, count) in enumerate(rows):
            with self.subTest(row=i):
                if step:
                    step()
                self.menu(self.files(*paths))
                self.assertEqual(len(self.calls("--list")), count)


if __name__ == "__main__":
    unittest.main()
