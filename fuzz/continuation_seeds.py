#!/usr/bin/env python3
"""Writes the seed inputs of continuation_fuzz into
fuzz/corpus/continuation_fuzz/: row shapes of every statement the login
continuations read, in the input format that continuation_fuzz.cpp describes."""
import hashlib
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
LOGIN, CREATE, DELETE, LOGIN_AGAIN = 0, 1, 2, 3
VALID_PASSWORD, LOCKED, OTHER_SESSION, CIPHER = 4, 8, 16, 32
NULL = None
FAILED = b"\x80"


def value(v):
    if v is None:
        return b"\xff"
    if isinstance(v, str):
        v = v.encode()
    if len(v) >= 0xfe:
        return b"\xfe" + struct.pack("<H", len(v)) + v
    return bytes([len(v)]) + v


def rows(fields, *table):
    out = bytes([fields, len(table)])
    for row in table:
        assert len(row) == fields
        out += b"".join(value(v) for v in row)
    return out


def affected(n):
    return bytes([n & 0x7f])


def name(text):
    return text.encode("utf-16-le").ljust(60, b"\0")


# The digest the login computes for the password "abc".
PASSWORD = hashlib.sha256(bytes([0x61, 0x62, 0x63, 0, 0x63, 0])).digest()
ITEM = bytes(range(1, 13))
EMPTY_SLOT = bytes(12)


def account(password=NULL, level="60", account_id="7", marked="0", duration="0", size="0", data=NULL):
    return rows(7, (password, level, account_id, marked, duration, size, data))


def character(text, head=EMPTY_SLOT, level="20"):
    return (name(text), "100", "1", "2", "3", "33", level, head, EMPTY_SLOT, EMPTY_SLOT, EMPTY_SLOT,
            EMPTY_SLOT, "2", "0", "0")


SEEDS = {
    "login-no-characters": bytes([LOGIN]) + account() + rows(15),
    "login-characters-items": bytes([LOGIN | VALID_PASSWORD | CIPHER])
    + account(password=PASSWORD, size="50", data=bytes(range(50)))
    + rows(15, character("Ann", head=ITEM), character("Bob", level="3"))
    + rows(3, (ITEM, bytes(range(200)), "0")),
    "login-wrong-password": bytes([LOGIN | VALID_PASSWORD]) + account(password=bytes(32)),
    "login-mark-expired-locked": bytes([LOGIN | LOCKED]) + account(level="10", marked="1000", duration="5"),
    "login-items-failed": bytes([LOGIN]) + account() + rows(15, character("Ann")) + FAILED,
    "login-closes-other": bytes([LOGIN_AGAIN | OTHER_SESSION]) + account() + FAILED,
    "login-failed": bytes([LOGIN]) + FAILED,
    "create-account": bytes([CREATE]) + rows(1) + affected(1),
    "create-account-taken": bytes([CREATE]) + rows(1, (name("new@x"),)),
    "create-account-insert-failed": bytes([CREATE]) + rows(1) + FAILED,
    "delete-character": bytes([DELETE]) + rows(6, ("12",) + (ITEM,) * 5),
    "delete-no-character": bytes([DELETE]) + rows(6),
}

out = os.path.join(HERE, "corpus", "continuation_fuzz")
os.makedirs(out, exist_ok=True)
for seed_name, data in SEEDS.items():
    with open(os.path.join(out, seed_name), "wb") as f:
        f.write(data)
