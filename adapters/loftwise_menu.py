"""The part of the file-manager extensions they all share.

At menu time it asks loftwise-context-menu which commands fit the selection
(`--list --json FILE...`) and turns the answer into the file manager's own
menu items; choosing one starts `--choose TITLE FILE...` in the background.
The plug-in itself never runs inside the file manager, and nothing here may
block it for long or raise into it: any failure just means no submenu.

Standard library only; the extensions pass in their toolkit's module.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import urllib.parse

HOST_NAME = "loftwise-context-menu"
SUBMENU_TITLE = "LoftwiseCM"
SETTINGS_DOMAIN = "com.brisk-alder.LoftwiseCM"

# The file manager builds its menu on its main thread; past this the user
# gets the menu without our submenu rather than a frozen window.
LIST_TIMEOUT = 1.5

ATTR_DISABLED = 4
ATTR_SEPARATOR = 64
ATTR_HEADER = 128


class Entry:
    """One entry of the host's menu; children is None for a command."""

    __slots__ = ("title", "id", "attributes", "children")

    def __init__(self, title, id, attributes, children=None):
        self.title = title
        self.id = id
        self.attributes = attributes
        self.children = children

    @property
    def is_separator(self):
        return bool(self.attributes & ATTR_SEPARATOR)

    @property
    def is_header(self):
        return bool(self.attributes & ATTR_HEADER)

    @property
    def is_command(self):
        return self.children is None and not (
            self.attributes & (ATTR_SEPARATOR | ATTR_HEADER | ATTR_DISABLED))


def _warn(text):
    print("loftwise: " + text, file=sys.stderr)


def find_host():
    """LOFTWISE_CONTEXT_MENU, else ~/.local/bin, else PATH; None if absent."""
    named = os.environ.get("LOFTWISE_CONTEXT_MENU")
    if named:
        return named
    local = os.path.join(os.path.expanduser("~"), ".local", "bin", HOST_NAME)
    if os.access(local, os.X_OK):
        return local
    return shutil.which(HOST_NAME)


def stands_back(extension, system="/usr/share"):
    """True for an extension installed system-wide when the user installed
    their own copy of it as well: the file manager loads both, and one
    submenu is enough."""
    path = os.path.abspath(extension)
    if not path.startswith(os.path.join(system, "")):
        return False
    data = os.environ.get("XDG_DATA_HOME") or os.path.join(
        os.path.expanduser("~"), ".local", "share")
    return os.path.exists(os.path.join(data, os.path.relpath(path, system)))


def settings_path():
    config = os.environ.get("XDG_CONFIG_HOME") or os.path.join(
        os.path.expanduser("~"), ".config")
    return os.path.join(config, "Preferences", SETTINGS_DOMAIN + ".plist")


def _settings_key():
    # The settings are replaced by rename, so the inode changes with them
    # even when two saves fall in the same clock tick.
    try:
        st = os.stat(settings_path())
    except OSError:
        return None
    return (st.st_mtime_ns, st.st_ino, st.st_size)


def local_paths(files):
    """Absolute local paths of the file manager's file objects, or None when
    any of them is not a local file (the host only takes local files)."""
    paths = []
    for f in files:
        path = None
        try:
            location = f.get_location()
            path = location.get_path() if location is not None else None
        except Exception:
            path = None
        if path is None:
            try:
                uri = urllib.parse.urlsplit(f.get_uri() or "")
            except Exception:
                return None
            if uri.scheme != "file" or uri.netloc not in ("", "localhost"):
                return None
            path = urllib.parse.unquote(uri.path)
        # Absolute paths never start with "-", so the host cannot take a
        # file for one of its options.
        if not path or not os.path.isabs(path):
            return None
        paths.append(path)
    return paths


def _parse(data):
    """The host's JSON answer as a list of Entry; ValueError when malformed."""

    def entry(obj):
        if not isinstance(obj, dict):
            raise ValueError("entry is not an object")
        title, id, attributes = obj.get("title"), obj.get("id"), obj.get("attributes", 0)
        if not isinstance(title, str) or isinstance(attributes, bool) or not isinstance(
                attributes, int) or not (id is None or (isinstance(id, int) and not isinstance(id, bool))):
            raise ValueError("entry has wrong field types")
        children = None
        if "submenu" in obj:
            children = entries(obj["submenu"])
        return Entry(title, id, attributes, children)

    def entries(objs):
        if not isinstance(objs, list):
            raise ValueError("menu is not an array")
        return [entry(o) for o in objs]

    return entries(json.loads(data.decode("utf-8")))


def _kill(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except OSError:
        pass
    for stream in (proc.stdout, proc.stderr):
        if stream is not None:
            stream.close()
    proc.wait()


def _start(host, args, stdout):
    """The host in a session of its own, holding none of our descriptors."""
    try:
        return subprocess.Popen([host, *args], stdin=subprocess.DEVNULL, stdout=stdout,
                                stderr=subprocess.DEVNULL, start_new_session=True,
                                close_fds=True)
    except OSError as e:
        _warn("cannot start %s: %s" % (host, e))
        return None


def _list(host, paths):
    proc = _start(host, ["--list", "--json", *paths], subprocess.PIPE)
    if proc is None:
        return None
    try:
        out, _ = proc.communicate(timeout=LIST_TIMEOUT)
    except subprocess.TimeoutExpired:
        # Its own process group, so a child it started goes too.
        _kill(proc)
        _warn("%s did not answer in time" % host)
        return None
    if proc.returncode != 0:
        return None
    try:
        return _parse(out)
    except (ValueError, UnicodeDecodeError, RecursionError) as e:
        _warn("unreadable menu from %s: %s" % (host, e))
        return None


_cache = {}
_cache_lock = threading.Lock()


def entries_for(paths):
    """The host's menu for these paths, or None. The answer depends only on
    the settings and on whether the first item is a folder, so it is kept
    until the settings file changes."""
    if not paths:
        return None
    host = find_host()
    if not host:
        return None
    key = (host, _settings_key(), os.path.isdir(paths[0]))
    with _cache_lock:
        if key in _cache:
            return _cache[key]
    entries = _list(host, paths)
    if entries is None:
        # Not kept: the next menu tries again.
        return None
    with _cache_lock:
        if len(_cache) >= 8:
            _cache.clear()
        _cache[key] = entries
    return entries


def clear_cache():
    with _cache_lock:
        _cache.clear()


def choose(title, paths):
    """Starts the host on the chosen command and returns at once."""
    host = find_host()
    if not host:
        _warn("%s is not installed" % HOST_NAME)
        return False
    proc = _start(host, ["--choose", title, *paths], subprocess.DEVNULL)
    if proc is None:
        return False
    # Reaped when it ends, so no zombie stays behind in the file manager.
    threading.Thread(target=proc.wait, daemon=True).start()
    return True


def _top_level(entries):
    """Our submenu's title and entries: the host's lone submenu is opened
    up (the plug-in already wraps its commands in one), anything else is
    shown as it is under the plug-in's name."""
    shown = [e for e in entries if not e.is_separator]
    if len(shown) == 1 and shown[0].children is not None:
        return shown[0].title or SUBMENU_TITLE, shown[0].children
    return SUBMENU_TITLE, entries


def _tidy(entries):
    """Separators only between other entries, never two in a row."""
    out = []
    for e in entries:
        if e.is_separator and (not out or out[-1].is_separator):
            continue
        out.append(e)
    while out and out[-1].is_separator:
        out.pop()
    return out


def _label(title):
    # The toolkits take "_" as a mnemonic mark.
    return title.replace("_", "__")


class _Builder:

    def __init__(self, kit, prefix, separators):
        self.kit = kit
        self.prefix = prefix
        self.separators = separators
        self.count = 0

    def name(self):
        self.count += 1
        return "%s::%d" % (self.prefix, self.count)

    def item(self, label, sensitive=True):
        return self.kit.MenuItem(name=self.name(), label=_label(label), sensitive=sensitive)

    def attach(self, item, menu):
        setter = getattr(item, "set_submenu", None) or item.set_menu
        setter(menu)

    def submenu(self, entries, paths):
        menu = self.kit.Menu()
        for e in _tidy(entries):
            if e.is_separator:
                if self.separators:
                    menu.append_item(self.kit.MenuItem.new_separator(self.name()))
                continue
            if e.children is not None:
                inner = _tidy(e.children)
                item = self.item(e.title, sensitive=bool(inner))
                if inner:
                    self.attach(item, self.submenu(inner, paths))
            else:
                item = self.item(e.title, sensitive=e.is_command)
                if e.is_command:
                    item.connect("activate", _Activate(e.title, paths))
            menu.append_item(item)
        return menu


class _Activate:

    def __init__(self, title, paths):
        self.title = title
        self.paths = list(paths)

    def __call__(self, *_):
        choose(self.title, self.paths)


def menu_items(kit, files, prefix, separators=False):
    """The file manager's items for this selection: one submenu item, or an
    empty list. kit is the toolkit's gi module (Nautilus, Nemo, Caja,
    Thunarx); separators says whether its menu items can be separators."""
    try:
        paths = local_paths(files or [])
        entries = entries_for(paths) if paths else None
        if not entries:
            return []
        title, inner = _top_level(entries)
        inner = _tidy(inner)
        if not inner:
            return []
        build = _Builder(kit, prefix, separators)
        top = build.item(title)
        build.attach(top, build.submenu(inner, paths))
        return [top]
    except Exception as e:  # never into the file manager
        _warn("menu not built: %r" % (e,))
        return []
