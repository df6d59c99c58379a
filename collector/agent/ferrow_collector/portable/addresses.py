"""Addresses as dictionary keys, and the kinds of them the measurement treats apart."""

import socket

V4_MAPPED = b"\0" * 10 + b"\xff\xff"


def addr(raw, family):
    """Address bytes as keys: 4 bytes for IPv4 (also IPv4-mapped IPv6), 16 for IPv6."""
    if family == socket.AF_INET:
        return raw[:4]
    if raw[:12] == V4_MAPPED:
        return raw[12:16]
    return raw[:16]


def is_loopback(address):
    if len(address) == 4:
        return address[0] == 127
    return address == b"\0" * 15 + b"\1"


def is_wildcard(address):
    return not any(address)


def is_group(address):
    """Multicast or the limited broadcast."""
    if len(address) == 4:
        return address[0] >= 224
    return address[0] == 0xFF
