#!/usr/bin/env python3
"""Stands in for loftwise-context-menu in the adapter tests.

Appends {"pid", "args"} to $LOFTWISE_STUB_LOG for every call, then acts by
$LOFTWISE_STUB_MODE: "ok" (a fixed menu for --list, a few seconds' work for
--choose), "hang", "fail" or "garbage".
"""

import json
import os
import sys
import time

MENU = [
    {"title": "", "id": 0, "attributes": 64},
    {"title": "LoftwiseCM", "id": None, "attributes": 0, "submenu": [
        {"title": "Servers", "id": 0, "attributes": 128},
        {"title": "Upload to example_host", "id": 1, "attributes": 0},
        {"title": "Clients", "id": None, "attributes": 0, "submenu": [
            {"title": "Acme FTP", "id": 2, "attributes": 0},
        ]},
        {"title": "Empty group", "id": None, "attributes": 0, "submenu": []},
        {"title": "", "id": 0, "attributes": 64},
        {"title": "", "id": 0, "attributes": 64},
        {"title": "Not now", "id": 3, "attributes": 4},
        {"title": "Open Log", "id": 4, "attributes": 0},
        {"title": "", "id": 0, "attributes": 64},
    ]},
]

with open(os.environ["LOFTWISE_STUB_LOG"], "a") as log:
    log.write(json.dumps({"pid": os.getpid(), "args": sys.argv[1:]}) + "\n")

mode = os.environ.get("LOFTWISE_STUB_MODE", "ok")
if mode == "hang":
    time.sleep(60)
elif mode == "fail":
    print("loftwise-context-menu: no plug-in loaded", file=sys.stderr)
    sys.exit(1)
elif mode == "garbage":
    print('[{"title": 5}]')
elif sys.argv[1:2] == ["--list"]:
    print(json.dumps(MENU))
elif sys.argv[1:2] == ["--choose"]:
    time.sleep(float(os.environ.get("LOFTWISE_STUB_CHOOSE_SECONDS", "3")))
