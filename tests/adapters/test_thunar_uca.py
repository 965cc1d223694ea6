"""Merging the LoftwiseCM action into Thunar's uca.xml."""

import os
import shutil
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "adapters"))

import thunar_uca  # noqa: E402

USER_ACTIONS = [
    """<action>
\t<icon>utilities-terminal</icon>
\t<name>Open Terminal Here</name>
\t<unique-id>1700000000000000-1</unique-id>
\t<command>exo-open --working-directory %f --launch TerminalEmulator</command>
\t<patterns>*</patterns>
\t<startup-notify/>
\t<directories/>
</action>""",
    """<action>
\t<name>Grep &amp; tell &#8222;x&#8220; &lt;y&gt;</name>
\t<unique-id>1700000000000000-2</unique-id>
\t<command>sh -c 'grep -l "a b" %F'</command>
\t<patterns>*.txt;*.md</patterns>
\t<text-files/>
</action>""",
]

OURS_OLD = """<action><name>LoftwiseCM...</name><unique-id>loftwise-context-menu</unique-id>
<command>/old/host %F</command></action>"""


def document(*ours_at):
    """The user's file, with an old action of ours before each user action
    index in ours_at (len(USER_ACTIONS): after the last)."""
    actions = list(USER_ACTIONS)
    for i in sorted(ours_at, reverse=True):
        actions.insert(i, OURS_OLD)
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<actions>\n<!-- mine -->\n'
            + "\n".join(actions) + "\n</actions>\n")


USER = document()

HOST = "/home/u s/.local/bin/loftwise-context-menu"


def user_actions(root):
    out = []
    for child in root:
        if child.tag == "action" and child.findtext("unique-id") != thunar_uca.UNIQUE_ID:
            child.tail = None
            out.append(ET.canonicalize(ET.tostring(child, encoding="unicode")))
    return out


def ours(root):
    return [i for i, c in enumerate(root) if c.findtext("unique-id") == thunar_uca.UNIQUE_ID]


class Merge(unittest.TestCase):

    def test_rows(self):
        rows = [
            # name, file before (None: missing), host (None: remove),
            # result, where our action ends up among the actions (None: the
            # file is left alone)
            ("no file", None, HOST, thunar_uca.CREATED, [0]),
            ("empty actions", "<actions/>", HOST, thunar_uca.ADDED, [0]),
            ("user actions", USER, HOST, thunar_uca.ADDED, [2]),
            ("ours twice", document(0, 1), HOST, thunar_uca.REPLACED, [0]),
            ("unparsable", USER[:-12], HOST, thunar_uca.SKIPPED, None),
            ("not actions", "<menu><action/></menu>", HOST, thunar_uca.SKIPPED, None),
            ("removed", document(2), None, thunar_uca.REMOVED, []),
            ("nothing to remove", USER, None, thunar_uca.UNCHANGED, None),
        ]
        for name, before, host, result, where in rows:
            with self.subTest(name):
                tmp = tempfile.mkdtemp()
                self.addCleanup(shutil.rmtree, tmp)
                path = os.path.join(tmp, "Thunar", "uca.xml")
                if before is not None:
                    os.makedirs(os.path.dirname(path))
                    with open(path, "w", encoding="utf-8") as f:
                        f.write(before)
                    os.chmod(path, 0o640)

                self.assertEqual(thunar_uca.merge(path, host), result)

                if where is None:
                    if before is not None:
                        with open(path, encoding="utf-8") as f:
                            self.assertEqual(f.read(), before)
                    continue
                root = ET.parse(path).getroot()
                self.assertEqual(root.tag, "actions")
                self.assertEqual(ours(root), where)
                for i in where:
                    self.assertEqual(root[i].findtext("name"), "LoftwiseCM...")
                    self.assertEqual(root[i].findtext("command"),
                                     "'/home/u s/.local/bin/loftwise-context-menu' %F")
                if before is not None:
                    self.assertEqual(user_actions(root),
                                     user_actions(ET.fromstring(before.encode())))
                    with open(path, encoding="utf-8") as f:
                        self.assertEqual("<!-- mine -->" in f.read(), "<!-- mine -->" in before)
                    self.assertEqual(os.stat(path).st_mode & 0o777, 0o640)
                self.assertEqual(os.listdir(os.path.dirname(path)), ["uca.xml"])


if __name__ == "__main__":
    unittest.main()
