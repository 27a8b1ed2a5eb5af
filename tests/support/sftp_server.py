#!/usr/bin/python3
"""An SFTP server for tests: sftp_server.py PORT HOST_KEY REFUSE_LIST CUT_LIST CUT_READ CUT_WRITE [HASHES]

Serves the whole file system on 127.0.0.1:PORT to user `tester`, password `secret` (no other sign-in),
logging each attempt ("sign-in USER", "password USER"). A folder named REFUSE_LIST cannot be opened;
opening a folder named CUT_LIST cuts the connection, and so do reading a file named CUT_READ and writing
one named CUT_WRITE past their first 64 KiB (any write to a file whose name holds "cut-up" cuts it
at once). The time of a file whose name holds "notime" cannot be set. An empty name turns the mode off. A file whose name
starts with "short" is read at most 1000 bytes a reply. A folder named
"hostile-names" lists, besides its entries, each of its files once more under names that lead elsewhere
("../NAME", "sub/NAME").
HASHES lists one hash extension in the version reply and answers it, printing its name each time:
"md5-hash" (hashing just the length given, as some servers do), or check-file answering in the wrong
kind ("check-file-md5": MD5 whatever was asked) or cut short ("check-file-cut").
"""
import asyncio
import hashlib
import os
import sys

import asyncssh
from asyncssh.packet import String

PORT, HOST_KEY, REFUSE_LIST, CUT_LIST, CUT_READ, CUT_WRITE = sys.argv[1:7]
HASHES = sys.argv[7] if len(sys.argv) > 7 else ''


def named(path, name):
    path = path.encode() if isinstance(path, str) else path
    return bool(name) and os.path.basename(path.rstrip(b'/')).decode(errors='replace') == name


class Server(asyncssh.SSHServer):
    def begin_auth(self, username):
        print('sign-in', username, flush=True)
        return True

    def password_auth_supported(self):
        return True

    def validate_password(self, username, password):
        print('password', username, flush=True)
        return username == 'tester' and password == 'secret'


class Sftp(asyncssh.SFTPServer):
    def cut(self):
        self.connection.abort()
        raise asyncssh.SFTPFailure('cut')

    async def listdir(self, path):
        if named(path, REFUSE_LIST):
            raise asyncssh.SFTPPermissionDenied('Permission denied')
        if named(path, CUT_LIST):
            self.connection.abort()
            await asyncio.sleep(30)
        names = super().listdir(path)
        if named(path, 'hostile-names'):
            local = path.decode() if isinstance(path, bytes) else path
            for name in list(names):
                full = os.path.join(local, name.decode(errors='surrogateescape'))
                if os.path.isfile(full):
                    attrs = asyncssh.SFTPAttrs.from_local(os.lstat(full))
                    names += [asyncssh.SFTPName(prefix + name, attrs=attrs) for prefix in (b'../', b'sub/')]
        return names

    def read(self, file_obj, offset, size):
        if offset >= 65536 and named(file_obj.name, CUT_READ):
            self.cut()
        if os.path.basename(file_obj.name).startswith(b'short' if isinstance(file_obj.name, bytes) else 'short'):
            size = min(size, 1000)
        return super().read(file_obj, offset, size)

    def refuse_time(self, name, attrs):
        if attrs.mtime is not None and b'notime' in os.fsencode(os.path.basename(name)):
            raise asyncssh.SFTPPermissionDenied('Permission denied')

    def setstat(self, path, attrs):
        self.refuse_time(path, attrs)
        return super().setstat(path, attrs)

    def fsetstat(self, file_obj, attrs):
        self.refuse_time(file_obj.name, attrs)
        return super().fsetstat(file_obj, attrs)

    def write(self, file_obj, offset, data):
        if (offset + len(data) > 65536 and named(file_obj.name, CUT_WRITE)) or \
                b'cut-up' in os.fsencode(os.path.basename(file_obj.name)):
            self.cut()
        return super().write(file_obj, offset, data)


class Reply(bytes):
    encode = lambda self, version: bytes(self)


async def hashes(handler, packet):
    print(HASHES, flush=True)
    with open(packet.get_string(), 'rb') as f:
        if HASHES == 'md5-hash':  # from the start given, as many bytes as the length says
            f.seek(packet.get_uint64())
            return Reply(String(b'md5-hash') + String(hashlib.md5(f.read(packet.get_uint64())).digest()))
        data = f.read()
    return Reply(String(b'md5') + hashlib.md5(data).digest() if HASHES == 'check-file-md5' else
                 String(b'sha256') + hashlib.sha256(data).digest()[:20])


if HASHES:
    handler, request = asyncssh.sftp.SFTPServerHandler, b'md5-hash' if HASHES == 'md5-hash' else b'check-file-name'
    handler._extensions = handler._extensions + [(b'md5-hash' if HASHES == 'md5-hash' else b'check-file', b'')]
    handler._packet_handlers = {**handler._packet_handlers, request: hashes}
    handler._return_types = {**handler._return_types, request: asyncssh.sftp.FXP_EXTENDED_REPLY}


async def main():
    await asyncssh.listen('127.0.0.1', int(PORT), server_host_keys=[HOST_KEY], server_factory=Server,
                          sftp_factory=Sftp, allow_scp=False)
    await asyncio.Event().wait()


asyncio.run(main())
