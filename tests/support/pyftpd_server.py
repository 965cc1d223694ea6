#!/usr/bin/python3
"""pyftpdlib on 127.0.0.1 for the tests: one account whose home is --root,
every command and reply in --log, the port it listens on in --port-file."""

import argparse
import logging
import os

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--root", required=True)
    p.add_argument("--user", required=True)
    p.add_argument("--password", required=True)
    p.add_argument("--log", required=True)
    p.add_argument("--port-file", required=True)
    args = p.parse_args()

    logging.basicConfig(filename=args.log, level=logging.DEBUG,
                        format="%(asctime)s %(message)s")
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = authorizer
    handler.banner = "pyftpdlib ready"
    handler.auth_failed_timeout = 0.1  # tests try wrong passwords on purpose
    server = FTPServer(("127.0.0.1", 0), handler)
    server.max_cons = 64
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.socket.getsockname()[1]))
    os.rename(tmp, args.port_file)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
