#!/usr/bin/python3
"""A small SFTP server for tests: password sign-in and servers that misbehave.

usage: sftp_server.py PORT HOST_KEY REFUSE_LIST CUT_LIST CUT_READ CUT_WRITE

Listens on 127.0.0.1:PORT with the host key HOST_KEY and lets user `tester`
with password `secret` in (no other way of signing in); every sign-in attempt
is logged ("sign-in USER", "password USER"). The whole file system
is served. A folder named REFUSE_LIST cannot be opened (permission denied),
opening a folder named CUT_LIST cuts the connection, and so do reading a file
named CUT_READ and writing one named CUT_WRITE past their first 64 KiB. An
empty name turns the mode off.
"""
import asyncio
import os
import sys

import asyncssh

PORT, HOST_KEY, REFUSE_LIST, CUT_LIST, CUT_READ, CUT_WRITE = sys.argv[1:7]


def base(path):
    if isinstance(path, str):
        path = path.encode()
    return os.path.basename(path.rstrip(b'/')).decode(errors='replace')


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
    async def listdir(self, path):
        name = base(path)
        if REFUSE_LIST and name == REFUSE_LIST:
            raise asyncssh.SFTPPermissionDenied('Permission denied')
        if CUT_LIST and name == CUT_LIST:
            self.connection.abort()
            await asyncio.sleep(30)
        return super().listdir(path)

    def read(self, file_obj, offset, size):
        if CUT_READ and offset >= 65536 and base(file_obj.name) == CUT_READ:
            self.connection.abort()
            raise asyncssh.SFTPFailure('cut')
        return super().read(file_obj, offset, size)

    def write(self, file_obj, offset, data):
        if CUT_WRITE and offset + len(data) > 65536 and base(file_obj.name) == CUT_WRITE:
            self.connection.abort()
            raise asyncssh.SFTPFailure('cut')
        return super().write(file_obj, offset, data)


async def main():
    await asyncssh.listen('127.0.0.1', int(PORT), server_host_keys=[HOST_KEY], server_factory=Server,
                          sftp_factory=Sftp, allow_scp=False)
    await asyncio.Event().wait()


asyncio.run(main())
