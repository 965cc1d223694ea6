#!/usr/bin/python3
"""A small scriptable FTP server for tests: it does on demand what real
servers will not (a chosen reply at a chosen command, a dropped or stalled
data connection, a listing in fragments, a PASV reply naming another
address, idle connections closed by the server).

It listens on 127.0.0.1 only, stores uploads under --root and writes every
event to --log, one line each:

  CONNECT <session> <ip>:<port>
  CMD <session> <verb> [<argument>]
  REPLY <session> <reply line>
  PASV <session> <announced ip> <port>
  DATA <session> <peer ip>:<port>          a data connection was made
  STORED <session> <bytes> <path>
  CLOSE <session> <reason>

The script (--script, JSON) may hold:
  user, password       the one account (default test / secret)
  rules                [{"command": VERB | "CONNECT" | "STOR-END", "reply": "552 ...",
                         "close": bool, "stall": bool, "skip": n, "times": n}]
                       CONNECT stands for the greeting, STOR-END for the reply
                       after a STOR's data; skip lets the first n matches
                       through, times limits how often the rule applies.
  refuse               "close": accept connections and close them at once
  stor_drop_after      bytes after which a STOR's data connection is reset (then 426)
  stor_stall_after     bytes after which a STOR's data connection is no longer read
  list_fragments       the LIST output, sent in these pieces
  list_delay           seconds between the pieces
  pasv_address         the address PASV replies name
  epsv                 false: EPSV is refused (502), so clients fall back to PASV
  close_idle_after     seconds after which a connection idle since a transfer is closed
  close_idle_reply     reply line sent before that close (none by default)
  eager_epsv           the reply to the next EPSV is sent ahead, with the reply to PWD,
                       so that it is there the moment the client asks
"""

import argparse
import json
import os
import select
import socket
import struct
import threading
import time

STALL_LIMIT = 300.0  # a stalled session still ends some time


class Server:
    def __init__(self, root, log_path, script):
        self.root = os.path.realpath(root)
        self.script = script
        self.user = script.get("user", "test")
        self.password = script.get("password", "secret")
        self.rules = [dict(r, seen=0, applied=0) for r in script.get("rules", [])]
        self.lock = threading.Lock()
        self.log_file = open(log_path, "a", encoding="utf-8", errors="backslashreplace")
        self.sessions = 0

    def log(self, *parts):
        line = " ".join(str(p) for p in parts)
        with self.lock:
            self.log_file.write(line.replace("\r", "\\r").replace("\n", "\\n") + "\n")
            self.log_file.flush()

    def next_session(self):
        with self.lock:
            self.sessions += 1
            return self.sessions

    def rule_for(self, command):
        with self.lock:
            for r in self.rules:
                if r.get("command", "").upper() != command:
                    continue
                r["seen"] += 1
                if r["seen"] <= r.get("skip", 0):
                    continue
                if r.get("times") is not None and r["applied"] >= r["times"]:
                    continue
                r["applied"] += 1
                return r
        return None


class Closed(Exception):
    pass


class Session:
    def __init__(self, server, conn, addr):
        self.server = server
        self.conn = conn
        self.id = server.next_session()
        self.cwd = "/"
        self.user = None
        self.logged_in = False
        self.pasv = None
        self.active = None
        self.buffer = b""
        self.transferred = False
        server.log("CONNECT", self.id, "%s:%d" % addr)

    # --- control connection

    def send(self, line):
        self.server.log("REPLY", self.id, line.split("\r\n")[-1])
        self.conn.sendall(line.encode("utf-8", "surrogateescape") + b"\r\n")

    def close(self, reason):
        self.server.log("CLOSE", self.id, reason)
        try:
            self.conn.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.conn.close()
        raise Closed()

    def read_line(self):
        idle = self.server.script.get("close_idle_after")
        while b"\n" not in self.buffer:
            timeout = idle if (idle is not None and self.transferred) else STALL_LIMIT
            ready, _, _ = select.select([self.conn], [], [], timeout)
            if not ready:
                if idle is not None and self.transferred:
                    reply = self.server.script.get("close_idle_reply")
                    if reply:
                        self.send(reply)
                    self.close("idle")
                self.close("timeout")
            data = self.conn.recv(4096)
            if not data:
                self.close("client")
            self.buffer += data
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.rstrip(b"\r").decode("utf-8", "surrogateescape")

    def stall(self, what):
        """Answers nothing more; waits for the client to give up."""
        self.server.log("STALL", self.id, what)
        end = time.monotonic() + STALL_LIMIT
        while time.monotonic() < end:
            ready, _, _ = select.select([self.conn], [], [], 1.0)
            if ready:
                try:
                    if not self.conn.recv(4096):
                        break
                except OSError:
                    break
        self.close("stalled")

    def apply_rule(self, command):
        rule = self.server.rule_for(command)
        if not rule:
            return False
        if rule.get("stall"):
            self.stall(command)
        if rule.get("reply"):
            self.send(rule["reply"])
        if rule.get("close"):
            self.close("rule " + command)
        return True

    def run(self):
        try:
            if self.server.script.get("refuse") == "close":
                self.close("refused")
            if not self.apply_rule("CONNECT"):
                self.send("220 faultftpd ready")
            while True:
                line = self.read_line()
                verb, _, arg = line.partition(" ")
                verb = verb.upper()
                if arg:
                    self.server.log("CMD", self.id, verb, arg)
                else:
                    self.server.log("CMD", self.id, verb)
                if self.apply_rule(verb):
                    continue
                handler = getattr(self, "ftp_" + verb, None)
                if handler is None:
                    self.send("502 Command not implemented.")
                elif not self.logged_in and verb not in (
                        "USER", "PASS", "QUIT", "FEAT", "SYST", "OPTS", "AUTH", "NOOP"):
                    self.send("530 Please log in.")
                else:
                    handler(arg)
        except (Closed, OSError):
            pass
        finally:
            try:
                self.conn.close()
            except OSError:
                pass
            if self.pasv:
                self.pasv.close()

    # --- files

    def resolve(self, path):
        virtual = os.path.normpath(os.path.join(self.cwd, path or "."))
        if not virtual.startswith("/"):
            virtual = "/" + virtual
        real = os.path.realpath(os.path.join(self.server.root, virtual.lstrip("/")))
        if real != self.server.root and not real.startswith(self.server.root + os.sep):
            return None, None
        return virtual, real

    # --- data connections

    def open_data(self):
        if self.active:
            s = socket.create_connection(self.active, timeout=10)
            peer = s.getpeername()
        elif self.pasv:
            self.pasv.settimeout(10)
            try:
                s, peer = self.pasv.accept()
            finally:
                self.pasv.close()
                self.pasv = None
        else:
            return None
        self.server.log("DATA", self.id, "%s:%d" % peer[:2])
        s.settimeout(60)
        return s

    def listen_passive(self):
        if self.pasv:
            self.pasv.close()
        self.active = None
        self.pasv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.pasv.bind(("127.0.0.1", 0))
        self.pasv.listen(1)
        return self.pasv.getsockname()[1]

    # --- commands

    def ftp_USER(self, arg):
        self.user = arg
        self.logged_in = False
        self.send("331 Password required.")

    def ftp_PASS(self, arg):
        if self.user == self.server.user and arg == self.server.password:
            self.logged_in = True
            self.send("230 Logged in.")
        else:
            self.send("530 Login incorrect.")

    def ftp_QUIT(self, arg):
        self.send("221 Bye.")
        self.close("quit")

    def ftp_AUTH(self, arg):
        self.send("502 No TLS here.")

    def ftp_SYST(self, arg):
        self.send("215 UNIX Type: L8")

    def ftp_FEAT(self, arg):
        self.send("211-Features:\r\n EPSV\r\n PASV\r\n SIZE\r\n MDTM\r\n UTF8\r\n211 End")

    def ftp_OPTS(self, arg):
        self.send("200 OK.")

    def ftp_NOOP(self, arg):
        self.send("200 OK.")

    def ftp_TYPE(self, arg):
        self.send("200 Type set.")

    def ftp_MODE(self, arg):
        self.send("200 OK.")

    def ftp_STRU(self, arg):
        self.send("200 OK.")

    def ftp_PWD(self, arg):
        reply = '257 "%s" is the current directory.' % self.cwd.replace('"', '""')
        if self.server.script.get("eager_epsv"):
            self.eager_port = self.listen_passive()
            reply += "\r\n229 Entering Extended Passive Mode (|||%d|)" % self.eager_port
        self.send(reply)

    def ftp_CWD(self, arg):
        virtual, real = self.resolve(arg)
        if real and os.path.isdir(real):
            self.cwd = virtual
            self.send("250 OK.")
        else:
            self.send("550 No such folder.")

    def ftp_CDUP(self, arg):
        self.ftp_CWD("..")

    def ftp_MKD(self, arg):
        virtual, real = self.resolve(arg)
        try:
            os.mkdir(real)
            self.send('257 "%s" created.' % virtual)
        except (OSError, TypeError):
            self.send("550 Cannot create.")

    def ftp_EPSV(self, arg):
        if getattr(self, "eager_port", None):
            self.eager_port = None  # answered already
            return
        if self.server.script.get("epsv", True) is False:
            self.send("502 EPSV not here.")
            return
        port = self.listen_passive()
        self.send("229 Entering Extended Passive Mode (|||%d|)" % port)

    def ftp_PASV(self, arg):
        port = self.listen_passive()
        announced = self.server.script.get("pasv_address", "127.0.0.1")
        self.server.log("PASV", self.id, announced, port)
        self.send("227 Entering Passive Mode (%s,%d,%d)" % (
            announced.replace(".", ","), port >> 8, port & 255))

    def set_active(self, host, port):
        # Only this machine is ever dialled.
        if host != "127.0.0.1":
            self.send("500 Only 127.0.0.1 here.")
            return
        if self.pasv:
            self.pasv.close()
            self.pasv = None
        self.active = (host, port)
        self.send("200 OK.")

    def ftp_PORT(self, arg):
        try:
            n = [int(x) for x in arg.split(",")]
            self.set_active(".".join(str(x) for x in n[:4]), n[4] * 256 + n[5])
        except (ValueError, IndexError):
            self.send("501 Bad PORT.")

    def ftp_EPRT(self, arg):
        try:
            parts = arg.split(arg[0])
            self.set_active(parts[2], int(parts[3]))
        except (ValueError, IndexError):
            self.send("501 Bad EPRT.")

    def ftp_SIZE(self, arg):
        _, real = self.resolve(arg)
        if real and os.path.isfile(real):
            self.send("213 %d" % os.path.getsize(real))
        else:
            self.send("550 No such file.")

    def ftp_MDTM(self, arg):
        _, real = self.resolve(arg)
        if real and os.path.isfile(real):
            self.send("213 " + time.strftime("%Y%m%d%H%M%S", time.gmtime(os.path.getmtime(real))))
        else:
            self.send("550 No such file.")

    def ftp_DELE(self, arg):
        _, real = self.resolve(arg)
        try:
            os.remove(real)
            self.send("250 Deleted.")
        except (OSError, TypeError):
            self.send("550 Cannot delete.")

    def ftp_ABOR(self, arg):
        self.send("226 Nothing to abort.")

    def finish_transfer(self, ok_reply, stored=False):
        self.transferred = True
        if stored and self.apply_rule("STOR-END"):
            return
        self.send(ok_reply)

    def ftp_STOR(self, arg):
        virtual, real = self.resolve(arg)
        if not real or not os.path.isdir(os.path.dirname(real)):
            self.send("553 Cannot store there.")
            return
        self.send("150 Ready for data.")
        data = self.open_data()
        if data is None:
            self.send("425 No data connection.")
            return
        drop = self.server.script.get("stor_drop_after")
        stall = self.server.script.get("stor_stall_after")
        total = 0
        dropped = False
        with open(real, "wb") as out:
            while True:
                want = 65536
                for limit in (drop, stall):
                    if limit is not None:
                        want = min(want, max(limit - total, 0))
                if want == 0:
                    if stall is not None and total >= stall:
                        out.flush()
                        self.server.log("STORED", self.id, total, virtual)
                        self.stall("STOR data")
                    data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    dropped = True
                    break
                try:
                    chunk = data.recv(want)
                except OSError:
                    chunk = b""
                if not chunk:
                    break
                out.write(chunk)
                total += len(chunk)
        data.close()
        self.server.log("STORED", self.id, total, virtual)
        if dropped:
            self.transferred = True
            self.send("426 Connection closed; transfer aborted.")
        else:
            self.finish_transfer("226 Stored.", stored=True)

    def ftp_RETR(self, arg):
        _, real = self.resolve(arg)
        if not real or not os.path.isfile(real):
            self.send("550 No such file.")
            return
        self.send("150 Sending.")
        data = self.open_data()
        if data is None:
            self.send("425 No data connection.")
            return
        with open(real, "rb") as f:
            while True:
                chunk = f.read(65536)
                if not chunk:
                    break
                data.sendall(chunk)
        data.close()
        self.finish_transfer("226 Sent.")

    def listing(self, arg, names_only):
        path = arg
        if path.startswith("-"):  # options such as -a
            path = ""
        _, real = self.resolve(path)
        if not real or not os.path.isdir(real):
            return None
        lines = []
        for name in sorted(os.listdir(real)):
            if names_only:
                lines.append(name)
                continue
            st = os.stat(os.path.join(real, name))
            kind = "d" if os.path.isdir(os.path.join(real, name)) else "-"
            stamp = time.strftime("%b %d %H:%M", time.localtime(st.st_mtime))
            lines.append("%srw-r--r--   1 owner    group    %10d %s %s" % (
                kind, st.st_size, stamp, name))
        return "".join(l + "\r\n" for l in lines)

    def send_listing(self, arg, names_only):
        fragments = self.server.script.get("list_fragments")
        if fragments is None:
            text = self.listing(arg, names_only)
            if text is None:
                self.send("550 No such folder.")
                return
            fragments = [text]
        self.send("150 Here it comes.")
        data = self.open_data()
        if data is None:
            self.send("425 No data connection.")
            return
        delay = self.server.script.get("list_delay", 0)
        data.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for i, piece in enumerate(fragments):
            if i and delay:
                time.sleep(delay)
            data.sendall(piece.encode("utf-8", "surrogateescape"))
        data.close()
        self.finish_transfer("226 Listed.")

    def ftp_LIST(self, arg):
        self.send_listing(arg, False)

    def ftp_NLST(self, arg):
        self.send_listing(arg, True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--root", required=True)
    p.add_argument("--log", required=True)
    p.add_argument("--port-file", required=True)
    p.add_argument("--script")
    args = p.parse_args()
    script = {}
    if args.script:
        with open(args.script, encoding="utf-8") as f:
            script = json.load(f)
    server = Server(args.root, args.log, script)

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(listener.getsockname()[1]))
    os.rename(tmp, args.port_file)

    while True:
        conn, addr = listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=Session(server, conn, addr).run, daemon=True).start()


if __name__ == "__main__":
    main()
