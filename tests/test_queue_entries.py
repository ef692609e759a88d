"""The 64-bit queue entry words, bit for bit."""
import pytest

import _tarnwick_queue_probe as probe

MAX_HANDLE = (1 << 61) - 1
CMD_INTERN, CMD_FLUSH, CMD_SHUTDOWN, CMD_LIST, CMD_TUPLE, CMD_DICT, CMD_HEARTBEAT = range(7)

@pytest.mark.parametrize(
    "handle, word",
    [(0, 0x1), (42, 0x151), (MAX_HANDLE, 0xFFFFFFFFFFFFFFF9), (1 << 40, (1 << 43) | 1)],
)
def test_ref_entry_words(handle, word):
    ref, _ = probe.words(handle, 0, 0)
    assert ref == word
    decoded = probe.decode(word)
    assert decoded["ref"] and decoded["tagged"] and not decoded["command"]
    assert decoded["kind"] == 0
    assert decoded["handle"] == handle

@pytest.mark.parametrize(
    "cmd, length, word",
    [
        (CMD_INTERN, 0, 0x7),
        (CMD_FLUSH, 0, 0xF),
        (CMD_SHUTDOWN, 0, 0x17),
        (CMD_HEARTBEAT, 0, 0x37),
        (CMD_LIST, 3, 0x31F),
        (CMD_TUPLE, 2, 0x227),
        (CMD_DICT, 2, 0x22F),
        (CMD_LIST, 4294967295, 0xFFFFFFFF1F),
        (CMD_DICT, 0, 0x2F),
    ],
)
def test_command_entry_words(cmd, length, word):
    _, got = probe.words(0, cmd, length)
    assert got == word
    decoded = probe.decode(word)
    assert decoded["command"] and not decoded["ref"] and decoded["kind"] == 3
    assert (decoded["cmd"], decoded["len"]) == (cmd, length)
    assert word >> 40 == 0

@pytest.mark.parametrize("low_bits", [0b011, 0b101])
def test_unused_tag_patterns_are_neither_ref_nor_command(low_bits):
    decoded = probe.decode(0x1000 | low_bits)
    assert decoded["tagged"]
    assert not decoded["ref"] and not decoded["command"] and not decoded["pointer"]

def test_object_addresses_are_pointer_entries():
    decoded = probe.decode(id(object()))
    assert decoded["pointer"] and not decoded["tagged"]

@pytest.mark.parametrize(
    "value, expected",
    [
        (None, 0),
        (5, 0),
        (True, 0),
        ("x" * 10 + "\u00e9", "unicode"),
        ("\u20ac" * 3 + "a", "unicode"),
        (b"abcdef", "layout"),
        ((1, 2, 3), "layout"),
        ([1, 2], "layout"),
    ],
)
def test_size_estimates(value, expected):

    if isinstance(value, str):
        value = "".join(list(value))  # a fresh, mortal string
    if expected == "unicode":
        width = max(1 if ord(c) < 256 else 2 if ord(c) < 65536 else 4 for c in value)
        expected = type(value).__basicsize__ + len(value) * width
    elif expected == "layout":
        expected = type(value).__basicsize__ + len(value) * type(value).__itemsize__
    assert probe.estimate_size(value) == expected
