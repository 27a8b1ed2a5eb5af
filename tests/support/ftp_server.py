#!/usr/bin/python3
"""pyftpdlib on 127.0.0.1 for tests and the demo: ftp_server.py ROOT PORTFILE [--user NAME:PASSWORD] [modes]

Serves ROOT with full rights to the user and to anonymous, on an ephemeral port
written to PORTFILE once listening; ends on SIGTERM. Modes for tests:
  --hostile               every listing carries names that must never be used
  --refuse-list / --cut-list / --stall-list NAME
                          listing a folder of this name is refused (550) / cuts the connection / never ends
  --drop-list NAME        listing a folder of this name sends 30 lines, then drops the data connection (426)
  --old-commands          neither EPSV nor MLSD/MLST (FEAT offers neither; PASV and LIST remain)
  --endless NAME          below NAME every path of sub-folders d leads back to NAME
  --max-logins N          more connections than this at once are refused (421)
  --cut-second-login      the second login is cut on its third listing and its third transfer
  --no-unique             MLSD leaves out the unique fact
  --refuse-dele           every DELE is refused (550)
  --list-file FILE        no MLSD; LIST of the top folder sends FILE as it is, of others nothing
  --list-truncated        every LIST ends "226 Output truncated" and ignores "-r" (the same part twice)
  --truncate-downloads / --truncate-uploads
                          RETR sends the first half of a file / STOR keeps the first 4096 bytes, then 226
  --refuse-times          MFMT is answered 550
  --ignore-times          MFMT is answered 213 and does nothing
  --throttle BYTES        a second, both ways
  --silent-on VERB        from the first such command on, nothing more is answered on any connection
"""
import argparse
import errno
import logging
import os
import signal
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer

OPENING = "150 File status okay. About to open data connection."


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("root")
    ap.add_argument("portfile")
    ap.add_argument("--user", default="tester:secret")
    ap.add_argument("--idle-timeout", type=float, default=300)
    ap.add_argument("--max-logins", type=int, default=0)
    ap.add_argument("--throttle", type=int, default=0)
    for name in ("--refuse-list", "--cut-list", "--stall-list", "--drop-list", "--endless", "--list-file",
                 "--silent-on"):
        ap.add_argument(name)
    for flag in ("--hostile", "--cut-second-login", "--no-unique", "--refuse-dele", "--truncate-downloads",
                 "--truncate-uploads", "--refuse-times", "--ignore-times", "--list-truncated", "--old-commands"):
        ap.add_argument(flag, action="store_true")
    args = ap.parse_args()

    auth = DummyAuthorizer()
    name, _, password = args.user.partition(":")
    auth.add_user(name, password, args.root, perm="elradfmwMT")
    auth.add_anonymous(args.root, perm="elradfmwMT")

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

    class CutFile:
        """Reads stop after `limit` bytes; writes past it are dropped yet reported as written."""

        def __init__(self, f, limit):
            self._f, self._left = f, limit  # bytes still let through

        def read(self, n=-1):
            data = self._f.read(max(0, self._left if n is None or n < 0 else min(n, self._left)))
            self._left -= len(data)
            return data

        def write(self, data):
            keep = data[:max(self._left, 0)]
            self._left -= len(keep)
            self._f.write(keep)
            return len(data)

        def __getattr__(self, name):
            return getattr(self._f, name)

    class FaultyFS(base_fs):
        def _dropped(self, basedir, lines):
            """The listing's lines, cut after 30 when the folder is the one to drop."""
            for i, line in enumerate(lines):
                if i == 30 and os.path.basename(os.path.normpath(basedir)) == args.drop_list:
                    raise OSError(errno.ECONNRESET, "data connection dropped")
                yield line

        def format_mlsx(self, basedir, listing, *a, **kw):
            return self._dropped(basedir, base_fs.format_mlsx(self, basedir, listing, *a, **kw))

        def format_list(self, basedir, listing, *a, **kw):
            return self._dropped(basedir, base_fs.format_list(self, basedir, listing, *a, **kw))

        def ftp2fs(self, ftppath):
            p = self.ftpnorm(ftppath)
            top = "/%s" % args.endless
            if args.endless and (p == top or p.startswith(top + "/d")) and set(p[len(top):].split("/")[1:]) <= {"d"}:
                p = top
            return base_fs.ftp2fs(self, p)

        def open(self, filename, mode):
            f = super().open(filename, mode)
            if "r" in mode and "+" not in mode and args.truncate_downloads:
                return CutFile(f, os.path.getsize(filename) // 2)
            if ("w" in mode or "a" in mode) and args.truncate_uploads:
                return CutFile(f, 4096)
            return f

    gone = ("MLSD", "MLST") + (("EPSV",) if args.old_commands else ())

    class Handler(FTPHandler):
        authorizer = auth
        timeout = args.idle_timeout
        abstracted_fs = FaultyFS
        use_sendfile = False
        banner = "twinbay test server"
        if args.list_file or args.old_commands:
            proto_cmds = {k: v for k, v in FTPHandler.proto_cmds.items() if k not in gone}
        if args.throttle > 0:
            dtp_handler = ThrottledDTPHandler
            dtp_handler.read_limit = dtp_handler.write_limit = args.throttle
        silenced = False
        logins = login_number = listings = transfers = 0

        def __init__(self, *a, **kw):
            FTPHandler.__init__(self, *a, **kw)
            if args.no_unique and "unique" in self._current_facts:
                self._current_facts.remove("unique")

        def pre_process_command(self, line, cmd, arg):
            # A server that stops answering: the command is read and dropped.
            Handler.silenced = Handler.silenced or bool(args.silent_on) and cmd == args.silent_on.upper()
            self.verb = cmd
            if args.list_truncated and cmd == "LIST":
                arg = ""  # "-a", "-ar": options are ignored
            if not Handler.silenced:
                return FTPHandler.pre_process_command(self, line, cmd, arg)

        def respond(self, resp, logfun=logging.debug):
            if args.list_truncated and resp.startswith("226 ") and getattr(self, "verb", "") == "LIST":
                resp = "226 Output truncated to 2 matches"
            return FTPHandler.respond(self, resp, logfun)

        def on_login(self, username):
            Handler.logins += 1
            self.login_number = Handler.logins

        def _cut(self, counter):
            """Cuts the second login's third listing or transfer; True when it did."""
            if args.cut_second_login and self.login_number == 2:
                setattr(self, counter, getattr(self, counter) + 1)
            if getattr(self, counter) != 3:
                return False
            self.respond(OPENING)
            self.close()
            return True

        def _odd_listing(self, path):
            """Acts out a listing mode; True when it did."""
            if self._cut("listings"):
                return True
            name = os.path.basename(os.path.normpath(path))
            if name not in (args.refuse_list, args.cut_list, args.stall_list):
                return False
            self.respond("550 Permission denied." if name == args.refuse_list else OPENING)
            if name == args.cut_list:
                self.close()
            return True

    def guard(verb, odd):
        """Handler's ftp_VERB is FTPHandler's, unless `odd` acted out a mode instead (and says True)."""
        plain = getattr(FTPHandler, "ftp_" + verb)
        setattr(Handler, "ftp_" + verb, lambda self, *a, **kw: None if odd(self, *a) else plain(self, *a, **kw))

    for verb in ("MLSD", "LIST", "NLST"):
        guard(verb, Handler._odd_listing)
    for verb in ("RETR", "STOR"):
        guard(verb, lambda self, *a: self._cut("transfers"))
    guard("DELE", lambda self, *a: args.refuse_dele and not self.respond("550 Delete refused."))
    guard("MFMT", lambda self, *a: (args.refuse_times and not self.respond("550 Setting times is not allowed here."))
          or (args.ignore_times and not self.respond("213 Modify=20000101000000; taken and ignored.")))

    logging.basicConfig(level=logging.ERROR)
    server = FTPServer(("127.0.0.1", 0), Handler)
    server.max_cons = 64
    if args.max_logins:
        server.max_cons_per_ip = args.max_logins
    with open(args.portfile + ".tmp", "w") as f:
        f.write(str(server.address[1]))
    os.rename(args.portfile + ".tmp", args.portfile)
    signal.signal(signal.SIGTERM, lambda *a: server.close_all() or sys.exit(0))
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
