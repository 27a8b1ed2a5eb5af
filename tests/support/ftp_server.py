#!/usr/bin/python3
"""A pyftpdlib server on 127.0.0.1 for tests and the demo.

  ftp_server.py ROOT PORTFILE [--user NAME:PASSWORD] [--anon-root DIR] [modes]

Listens on an ephemeral port (written to PORTFILE once listening), serves ROOT
to the user (full rights) and DIR (or ROOT) read/write to anonymous. Ends on
SIGTERM. Modes for tests:
  --hostile               every listing carries names that must never be used
  --refuse-list NAME      a folder of this name refuses to be listed (550)
  --cut-list NAME         listing a folder of this name cuts the connection
  --stall-list NAME       a listing of a folder of this name never finishes
  --endless NAME          below NAME every path of sub-folders named d leads
                          back to NAME: a tree without end (NAME/d/d/d/...)
  --max-logins N          more connections than this at once are refused (421)
  --cut-second-login      the second login is cut on its third listing and on
                          its third transfer
  --no-unique             MLSD leaves out the unique fact
  --refuse-dele           every DELE is refused (550)
  --list-file FILE        no MLSD; LIST of the top folder sends FILE as it is,
                          of any other folder nothing
  --list-truncated        every LIST ends "226 Output truncated", and "-r" is
                          ignored (the same part comes twice)
  --truncate-downloads    RETR sends the first half of a file, then 226
  --truncate-uploads      STOR keeps the first 4096 bytes, then 226
  --refuse-times          MFMT is answered 550
  --throttle BYTES        a second, both ways
  --silent-on VERB[:N]    from the Nth such command on (N=1 by default) the
                          server answers nothing more on any connection
"""
import argparse
import logging
import os
import re
import signal
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("root")
    ap.add_argument("portfile")
    ap.add_argument("--user", default="tester:secret")
    ap.add_argument("--idle-timeout", type=float, default=300)
    ap.add_argument("--max-logins", type=int, default=0)
    ap.add_argument("--throttle", type=int, default=0)
    for name in ("--anon-root", "--refuse-list", "--cut-list", "--stall-list", "--endless", "--list-file",
                 "--silent-on"):
        ap.add_argument(name)
    for flag in ("--no-anonymous", "--hostile", "--cut-second-login", "--no-unique", "--refuse-dele",
                 "--truncate-downloads", "--truncate-uploads", "--refuse-times", "--list-truncated"):
        ap.add_argument(flag, action="store_true")
    args = ap.parse_args()

    auth = DummyAuthorizer()
    name, _, password = args.user.partition(":")
    auth.add_user(name, password, args.root, perm="elradfmwMT")
    if not args.no_anonymous:
        auth.add_anonymous(args.anon_root or args.root, perm="elradfmwMT")

    class HostileFS(AbstractedFS):
        LINES = ["../x", "a/b", "back\\slash", "cr\rname", ".", "..", "", "good.txt"]

        def format_mlsx(self, basedir, listing, perms, facts, ignore_err=True):
            for name in self.LINES:
                yield ("type=file;size=1;modify=20200102030405; %s\r\n" % name).encode("utf8", "surrogateescape")
            yield b"type=dir;modify=20200102030405; ../up\r\n"

        def format_list(self, basedir, listing, ignore_err=True):
            for name in self.LINES:
                yield ("-rw-r--r--   1 owner    group           1 Jan 02  2020 %s\r\n" % name).encode()

    class CannedFS(AbstractedFS):
        def format_list(self, basedir, listing, ignore_err=True):
            if os.path.realpath(basedir) == os.path.realpath(self.root):
                with open(args.list_file, "rb") as f:
                    yield f.read()

    base_fs = HostileFS if args.hostile else CannedFS if args.list_file else AbstractedFS

    class EndlessFS(base_fs):
        def ftp2fs(self, ftppath):
            p = self.ftpnorm(ftppath)
            top = "/" + args.endless
            if p == top or p.startswith(top + "/d"):
                parts = p[len(top):].split("/")
                if all(x == "d" for x in parts[1:]):
                    p = top
            return base_fs.ftp2fs(self, p)

    class CutFile:
        """A file that ends early: reads stop after `limit` bytes, writes
        beyond `limit` bytes are dropped (and still reported as written)."""

        def __init__(self, f, limit):
            self._f = f
            self._left = limit

        def read(self, n=-1):
            if self._left <= 0:
                return b""
            data = self._f.read(self._left if n is None or n < 0 else min(n, self._left))
            self._left -= len(data)
            return data

        def write(self, data):
            keep = data[:max(self._left, 0)]
            self._left -= len(keep)
            self._f.write(keep)
            return len(data)

        def __getattr__(self, name):
            return getattr(self._f, name)

    class FaultyFS(EndlessFS if args.endless else base_fs):
        def open(self, filename, mode):
            f = super().open(filename, mode)
            if "r" in mode and "+" not in mode and args.truncate_downloads:
                return CutFile(f, os.path.getsize(filename) // 2)
            if ("w" in mode or "a" in mode) and args.truncate_uploads:
                return CutFile(f, 4096)
            return f

    class SlowDTP(ThrottledDTPHandler):
        read_limit = args.throttle
        write_limit = args.throttle

    class Handler(FTPHandler):
        authorizer = auth
        timeout = args.idle_timeout
        abstracted_fs = FaultyFS
        use_sendfile = False
        passive_ports = None
        banner = "twinbay test server"
        if args.list_file:
            proto_cmds = {k: v for k, v in FTPHandler.proto_cmds.items() if k not in ("MLSD", "MLST")}
        if args.throttle > 0:
            dtp_handler = SlowDTP

        silent_verb, _, silent_n = (args.silent_on or "").partition(":")
        silent_seen = 0

        def pre_process_command(self, line, cmd, arg):
            # A server that stops answering: the command is read and dropped.
            if cmd == Handler.silent_verb.upper():
                Handler.silent_seen += 1
            if Handler.silent_verb and Handler.silent_seen >= int(Handler.silent_n or 1):
                return
            if args.list_truncated and cmd == "LIST":
                arg = ""  # "-a", "-ar": options are ignored
            return FTPHandler.pre_process_command(self, line, cmd, arg)

        def respond(self, resp, logfun=logging.debug):
            if args.list_truncated and resp.startswith("226 ") and getattr(self, "verb", "") == "LIST":
                resp = "226 Output truncated to 2 matches"
            return FTPHandler.respond(self, resp, logfun)

        def ftp_MFMT(self, path, timeval):
            if args.refuse_times:
                self.respond("550 Setting times is not allowed here.")
                return
            return FTPHandler.ftp_MFMT(self, path, timeval)

        def __init__(self, *a, **kw):
            FTPHandler.__init__(self, *a, **kw)
            if args.no_unique and "unique" in self._current_facts:
                self._current_facts.remove("unique")

        def _listing_mode(self, path):
            name = os.path.basename(os.path.normpath(path))
            for mode in ("refuse_list", "cut_list", "stall_list"):
                if getattr(args, mode) and name == getattr(args, mode):
                    return mode
            return None

        logins = 0
        listings = 0
        transfers = 0

        def on_login(self, username):
            Handler.logins += 1
            self.login_number = Handler.logins

        def _odd_listing(self, path):
            """Acts out a listing test mode; True when it did."""
            if args.cut_second_login and getattr(self, "login_number", 0) == 2:
                self.listings += 1
                if self.listings == 3:
                    self.respond("150 File status okay. About to open data connection.")
                    self.close()
                    return True
            mode = self._listing_mode(path)
            if mode == "refuse_list":
                self.respond("550 Permission denied.")
            elif mode == "cut_list":
                self.respond("150 File status okay. About to open data connection.")
                self.close()
            elif mode == "stall_list":
                self.respond("150 File status okay. About to open data connection.")
            return mode is not None

        def _cut_transfer(self):
            """Cuts the second login's third transfer; True when it did."""
            if args.cut_second_login and getattr(self, "login_number", 0) == 2:
                self.transfers += 1
                if self.transfers == 3:
                    self.respond("150 File status okay. About to open data connection.")
                    self.close()
                    return True
            return False

        def ftp_RETR(self, file):
            if not self._cut_transfer():
                return FTPHandler.ftp_RETR(self, file)

        def ftp_STOR(self, file, mode="w"):
            if not self._cut_transfer():
                return FTPHandler.ftp_STOR(self, file, mode)

        def ftp_DELE(self, path):
            if args.refuse_dele:
                self.respond("550 Delete refused.")
                return
            return FTPHandler.ftp_DELE(self, path)

        def ftp_MLSD(self, path):
            if not self._odd_listing(path):
                return FTPHandler.ftp_MLSD(self, path)

        def ftp_LIST(self, path):
            self.verb = "LIST"
            if not self._odd_listing(path):
                return FTPHandler.ftp_LIST(self, path)

        def ftp_NLST(self, path):
            if not self._odd_listing(path):
                return FTPHandler.ftp_NLST(self, path)

    logging.basicConfig(level=logging.ERROR)
    server = FTPServer(("127.0.0.1", 0), Handler)
    server.max_cons = 64
    if args.max_logins:
        server.max_cons_per_ip = args.max_logins
    tmp = args.portfile + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.address[1]))
    os.rename(tmp, args.portfile)
    signal.signal(signal.SIGTERM, lambda *a: server.close_all() or sys.exit(0))
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
