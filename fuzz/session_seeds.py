#!/usr/bin/env python3
"""Writes the seed inputs of session_fuzz into fuzz/corpus/session_fuzz/:
valid conversations built with the numbers of install/Data/LoginOpcodes.ini,
in the input format that session_fuzz.cpp describes."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def opcodes():
    numbers = {}
    with open(os.path.join(HERE, "..", "install", "Data", "LoginOpcodes.ini")) as f:
        for line in f:
            line = line.strip()
            if "=" in line and not line.startswith("#"):
                name, value = line.split("=", 1)
                numbers[name.strip().upper()] = bytes.fromhex(value.strip()[2:].zfill(4))
    return numbers


OP = opcodes()


def wide(text):
    return text.encode("utf-16-le")


def msg(name, *parts):
    return OP[name] + b"".join(parts)


def u16(v):
    return struct.pack("<H", v)


def u32(v):
    return struct.pack("<I", v)


def chunk(data, session=0, polls=1):
    assert len(data) < 4096
    return bytes([session | (polls << 2) | ((len(data) >> 8) << 4), len(data) & 0xFF]) + data


def options(sessions=1, cipher=False, logged_in=False):
    return bytes([(sessions - 1) | (4 if cipher else 0) | (8 if logged_in else 0)])


UPDATE_CHECK = b"\x01\x00" + bytes(19)
CLIENT_SEED = msg("CLIENT_SEED", bytes(64))
SESSION_REQUESTS = (msg("LS_COMPUTER_HASH", bytes(20)) + msg("LS_CLIENT_ID", bytes(4))
                    + msg("KEEP_ALIVE", bytes(4)) + msg("CLIENT_VERSION", bytes(2), u32(12), bytes(8))
                    + msg("LS_REQUEST_RESPONSE", u32(9)))
COMPUTER_USER = msg("COMPUTER_USER", u16(2), wide("ab"), u16(3), wide("pc1"))
PASSWORD = wide("abc")
ACCOUNT_LOGIN = msg("ACCOUNT_LOGIN", u32(0x11223344), bytes([len(PASSWORD), 0]),
                    PASSWORD.ljust(22, b"\0"), u16(5), wide("a@b.c"))
CREATE_ACCOUNT = msg("CREATE_ACCOUNT", u32(5), u16(5), wide("new@x"))
CHARACTER_DELETE = msg("CHARACTER_DELETE", u32(4), u16(3), wide("Ann"))
INTERFACE_DATA = msg("ACCOUNT_DATA_FROM_CC", u32(20), bytes(4), bytes(range(50)))
HARDWARE = msg("LS_COMPUTER_HARDWARE", u16(3000), bytes(3016))

SEEDS = {
    "handshake-login": options() + chunk(UPDATE_CHECK) + chunk(UPDATE_CHECK) + chunk(CLIENT_SEED)
    + chunk(SESSION_REQUESTS, polls=3) + chunk(COMPUTER_USER + msg("LS_CLIENT_ID", bytes(4)))
    + chunk(ACCOUNT_LOGIN),
    "create-account": options(cipher=True) + chunk(CREATE_ACCOUNT)
    + chunk(msg("CREATE_ACCOUNT", u32(6), u16(66), wide("x" * 66))),
    "character-delete": options(cipher=True, logged_in=True) + chunk(CHARACTER_DELETE)
    + chunk(msg("ACCOUNT_LOGOUT", bytes(4))) + chunk(CHARACTER_DELETE),
    "interface-data": options(logged_in=True) + chunk(INTERFACE_DATA)
    + chunk(msg("ACCOUNT_DATA_FROM_CC", u32(21), bytes(4), bytes(700))),
    "three-sessions": options(sessions=3, cipher=True) + chunk(ACCOUNT_LOGIN[:20], 0, 0)
    + chunk(CREATE_ACCOUNT, 1, 0) + chunk(ACCOUNT_LOGIN[20:], 0, 1)
    + chunk(HARDWARE[:2000], 2, 1) + chunk(HARDWARE[2000:] + msg("LS_CLIENT_ID", bytes(4)), 2, 2)
    + chunk(msg("EXIT_GAME", bytes(4)) + msg("PLAYCREATE_CHARACTER", bytes(10)), 1, 1)
    + chunk(b"\xff\xfe\x00", 0, 1),
}

out = os.path.join(HERE, "corpus", "session_fuzz")
os.makedirs(out, exist_ok=True)
for name, data in SEEDS.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
