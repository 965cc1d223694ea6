"""Adds the LoftwiseCM custom action to Thunar's uca.xml.

For a Thunar without thunarx-python: one action, "LoftwiseCM...", that shows
the host's popup for the selection. The user's own actions stay as they
are; an action of ours from an earlier install is replaced, not repeated; a
file that does not parse is left alone. With --remove our action goes (the
thunarx-python extension shows the submenu itself).

    thunar_uca.py HOST|--remove [UCA_XML]
"""

import os
import shlex
import sys
import tempfile
import xml.etree.ElementTree as ET

UNIQUE_ID = "loftwise-context-menu"
ACTION_NAME = "LoftwiseCM..."

CREATED, ADDED, REPLACED, REMOVED, UNCHANGED, SKIPPED = (
    "created", "added", "replaced", "removed", "unchanged", "skipped")


def default_path():
    config = os.environ.get("XDG_CONFIG_HOME") or os.path.join(
        os.path.expanduser("~"), ".config")
    return os.path.join(config, "Thunar", "uca.xml")


def make_action(host):
    fields = [
        ("icon", ""),
        ("name", ACTION_NAME),
        ("submenu", ""),
        ("unique-id", UNIQUE_ID),
        # Thunar splits the command the way a shell would.
        ("command", shlex.quote(host) + " %F"),
        ("description", "Upload or open the selection with LoftwiseCM"),
        ("range", ""),
        ("patterns", "*"),
        ("directories", None),
        ("audio-files", None),
        ("image-files", None),
        ("other-files", None),
        ("text-files", None),
        ("video-files", None),
    ]
    action = ET.Element("action")
    action.text = "\n\t"
    for tag, text in fields:
        child = ET.SubElement(action, tag)
        child.text = text
        child.tail = "\n\t"
    child.tail = "\n"
    return action


def _is_ours(element):
    return element.tag == "action" and (element.findtext("unique-id") or "").strip() == UNIQUE_ID


def _write(path, root):
    target = os.path.realpath(path)
    folder = os.path.dirname(target)
    os.makedirs(folder, exist_ok=True)
    try:
        mode = os.stat(target).st_mode & 0o7777
    except FileNotFoundError:
        mode = 0o644
    fd, tmp = tempfile.mkstemp(prefix=".uca.xml.", dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            ET.ElementTree(root).write(f, encoding="UTF-8", xml_declaration=True)
            f.write(b"\n")
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, mode)
        os.replace(tmp, target)
    except BaseException:
        os.unlink(tmp)
        raise


def merge(path, host):
    """Writes our action into the file at path, or takes it out when host is
    None; returns what it did."""
    ours = make_action(host) if host is not None else None
    if not os.path.exists(path):
        if ours is None:
            return UNCHANGED
        root = ET.Element("actions")
        root.text = "\n"
        root.append(ours)
        ours.tail = "\n"
        _write(path, root)
        return CREATED
    try:
        parser = ET.XMLParser(target=ET.TreeBuilder(insert_comments=True, insert_pis=True))
        root = ET.parse(path, parser=parser).getroot()
    except (ET.ParseError, OSError, UnicodeError) as e:
        print("uca.xml: %s cannot be read (%s); left as it is" % (path, e), file=sys.stderr)
        return SKIPPED
    if root.tag != "actions":
        print("uca.xml: %s is not a list of actions; left as it is" % path, file=sys.stderr)
        return SKIPPED

    found = [i for i, child in enumerate(root) if _is_ours(child)]
    if ours is None:
        if not found:
            return UNCHANGED
        for i in reversed(found):
            if i > 0:
                root[i - 1].tail = root[i].tail
            del root[i]
        result = REMOVED
    elif found:
        first = found[0]
        ours.tail = root[first].tail
        root[first] = ours
        for i in reversed(found[1:]):
            del root[i]
        result = REPLACED
    else:
        if len(root):
            ours.tail = root[-1].tail
            root[-1].tail = root[-1].tail or "\n"
        else:
            root.text = (root.text or "").rstrip(" \t") or "\n"
            ours.tail = "\n"
        root.append(ours)
        result = ADDED
    _write(path, root)
    return result


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__.strip().splitlines()[-1].strip(), file=sys.stderr)
        return 2
    path = argv[2] if len(argv) == 3 else default_path()
    result = merge(path, None if argv[1] == "--remove" else argv[1])
    if result not in (SKIPPED, UNCHANGED):
        print("Thunar custom action %s in %s" % (result, path))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
