"""Counts not yet handed to the daemon, and the JSON documents carrying them."""

import os

from .backend import UNATTRIBUTED
from .daemon_link import MAX_FRAME_BODY
from .log import say
from .programs import members as program_members

# Processes kept apart while no daemon reads; beyond that, exited ones are folded.
PENDING_LIMIT = 65536
# Bytes of program texts one report carries at most (see programs_within).
PROGRAM_BUDGET = 128 * 1024

try:
    # What the JSON encoder writes a text with (ensure_ascii=False), without loading the
    # json package: a process object is written straight from its values.
    from _json import encode_basestring as _encode_text
except ImportError:
    from json.encoder import encode_basestring as _encode_text
# Processes written together as one text: a few joins per report, and no more than
# this many process texts alive at a time.
_BATCH = 256
_HEAD = b'{"type":"network_data","processes":['
_TAIL = b']}'


class Ledger:
    """Byte counts not yet handed to the daemon, per pid: {pid: (comm, tx, rx)}, and
    the program (exe, args) as a fourth item once known.

    The entries are tuples, replaced when they change: an entry a report takes over
    from the backend's counts is the same object, not a copy of it.

    While no daemon reads, the table grows with every process that moves data. Past
    `limit` processes, those that have exited are folded into pid 0 "unattributed",
    so that the totals still add up and the memory stays bounded.
    """

    def __init__(self, limit=PENDING_LIMIT, alive=None):
        self.pending = {}
        self.limit = limit
        self.alive = alive or (lambda pid: os.path.exists("/proc/%d" % pid))
        self.folded_warned = False

    def add(self, counts):
        programs = getattr(counts, "programs", None) or {}
        pending = self.pending
        for pid, value in counts.items():
            program = value[3] if len(value) > 3 else programs.get(pid)
            entry = pending.get(pid)
            if entry is None:
                if program is None:
                    entry = value if len(value) == 3 and type(value) is tuple else tuple(value[:3])
                elif len(value) == 4 and type(value) is tuple and value[3] is program:
                    entry = value
                else:
                    entry = (value[0], value[1], value[2], program)
            else:
                if program is None and len(entry) > 3:
                    program = entry[3]
                entry = (value[0] or entry[0], entry[1] + value[1], entry[2] + value[2])
                if program is not None:
                    entry += (program,)
            pending[pid] = entry
        if len(pending) > self.limit:
            self.fold_exited()

    def fold_exited(self):
        bucket = self.pending.get(0, (UNATTRIBUTED, 0, 0))
        tx, rx = bucket[1], bucket[2]
        for pid in [p for p in self.pending if p != 0 and not self.alive(p)]:
            entry = self.pending.pop(pid)
            tx += entry[1]
            rx += entry[2]
        self.pending[0] = (bucket[0], tx, rx) + bucket[3:]
        if not self.folded_warned:
            say("no daemon has read for long: exited processes are kept as pid 0 \"%s\"" % UNATTRIBUTED)
            self.folded_warned = True

    def take(self):
        taken, self.pending = self.pending, {}
        self.folded_warned = False
        return taken

    def restore(self, entries):
        """Puts back the counts of reports that never reached the daemon."""
        self.add(entries)


def build_documents(entries, speeds, max_body=MAX_FRAME_BODY, known=None):
    """Turns {pid: [comm, tx, rx(, program)]} into JSON bodies of at most max_body bytes;
    a known program adds the members "exe" and "cmdline" (pid 0 has none).

    `known` maps the pids of the daemon's previous report to the program that report
    gave them: a pid carried by that report with the same program goes without its
    program this time, since the daemon still holds the record it made from it. The
    daemon sweeps its table after each document and drops a vanished process's record
    at the second sweep after it vanished: a record there for the previous report (of
    one document, see programs_carried) is still there for the next document, but may
    be gone by the one after. So only this report's first document leaves programs out.

    Returns a list of (body bytes, {pid: entry}) so that the counts of a
    report that could not be delivered can be restored. Every pid appears in
    exactly one document; at least one document is produced.
    """
    documents = _documents(entries, speeds, max_body, known or {})
    if known and len(documents) > 1:
        # The first document keeps its processes (they come first in pid order and
        # are written the same); those after it carry their programs.
        first = documents[0][1]
        documents = _documents(entries, speeds, max_body,
                               {pid: program for pid, program in known.items() if pid in first})
        if documents[0][1].keys() != first.keys():
            documents = _documents(entries, speeds, max_body, {})
    return documents


def programs_carried(documents):
    """What the daemon knows once `documents` are delivered: {pid: program}, as `known`
    for the next report; nothing after a report of several documents, whose processes
    the daemon may have dropped between them."""
    if len(documents) != 1:
        return {}
    return {pid: entry[3] for pid, entry in documents[0][1].items() if len(entry) > 3 and pid != 0}


def programs_within(entries, known, budget=PROGRAM_BUDGET):
    """(entries to report now, entries to keep for the next report); `entries` itself is
    thinned and returned as the first.

    A report takes every process without a program to send, and those with one while
    their programs' texts add up to at most `budget` bytes (one at least). The daemon
    parses a whole document at once: the programs of thousands of processes started
    together are spread over reports of a few hundred KiB instead of one document near
    the frame limit. The others wait in the ledger, with their counts and programs,
    for the next report a tick later."""
    later = {}
    spent = 0
    for pid, entry in entries.items():
        if len(entry) > 3 and pid != 0 and known.get(pid) != entry[3]:
            exe, args = entry[3]
            cost = len(exe) + len(args) * 3 + sum(map(len, args))
            if spent and spent + cost > budget:
                later[pid] = entry
                continue
            spent += cost
    # The report's table is the one taken from the ledger: thinned in place rather
    # than copied (it holds a process of the machine each).
    for pid in later:
        del entries[pid]
    return entries, later


def documents_to_send(documents):
    """(documents to send now, {pid: entry} to keep for the next report).

    After a report of several documents the next one carries every program again, so
    a report that overflows one document because of its programs would do so for
    ever. When the first document carries a program, it goes alone and the processes
    of the others wait in the ledger for the next report, where the first document's
    processes go without their programs. A first document without any program means
    the processes alone fill more than one document: then everything goes at once.
    ("exe": only appears as a member name: a quotation mark inside a text is escaped.)
    """
    if len(documents) > 1 and b'"exe":' in documents[0][0]:
        waiting = {}
        for _body, members in documents[1:]:
            waiting.update(members)
        return documents[:1], waiting
    return documents, {}


def _process(pid, entry, speeds, known):
    comm, tx, rx = entry[:3]
    tx_speed, rx_speed = speeds.get(pid, _NO_SPEED)
    process = {"pid": pid, "comm": comm, "tx_bytes": tx, "rx_bytes": rx,
               "tx_speed": round(tx_speed, 2), "rx_speed": round(rx_speed, 2)}
    if len(entry) > 3 and pid != 0 and known.get(pid) != entry[3]:
        process.update(program_members(entry[3]))
    return process


def _encoder():
    """The JSON encoder, for the values the plain forms do not cover: the json package
    is loaded only if one turns up."""
    global _ENCODER
    if _ENCODER is None:
        import json
        _ENCODER = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"))
    return _ENCODER


_ENCODER = None
_NO_SPEED = (0.0, 0.0)
# A process object, in the encoder's own member order and separators; a finite
# float's %r is the encoder's text of it. A program adds its members before the brace.
_PLAIN = '{"pid":%d,"comm":%s,"tx_bytes":%d,"rx_bytes":%d,"tx_speed":%r,"rx_speed":%r}'
_PROGRAM = ',"exe":%s,"cmdline":[%s]}'


def _process_text(pid, entry, speeds, known, with_program=True):
    """The encoder's text of one process object. Written straight from its values;
    any value the plain form does not cover (an infinite or NaN speed, a number or a
    name of another type) goes through the encoder."""
    comm, tx, rx = entry[0], entry[1], entry[2]
    tx_speed, rx_speed = speeds.get(pid, _NO_SPEED)
    tx_speed, rx_speed = round(tx_speed, 2), round(rx_speed, 2)
    program = (entry[3] if with_program and len(entry) > 3 and pid != 0 and known.get(pid) != entry[3]
               else None)
    if (tx_speed - tx_speed != 0.0 or rx_speed - rx_speed != 0.0 or type(tx) is not int
            or type(rx) is not int or type(pid) is not int or type(comm) is not str):
        return _encoder().encode(_process(pid, entry if program is not None else entry[:3], speeds, known))
    text = _PLAIN % (pid, _encode_text(comm), tx, rx, tx_speed, rx_speed)
    if program is None:
        return text
    exe, args = program
    return text[:-1] + _PROGRAM % (_encode_text(exe), ",".join([_encode_text(a) for a in args]))


def _batch_text(batch, entries, speeds, known):
    """The encoder's text of the batch's process list, without its brackets."""
    return ",".join([_process_text(pid, entries[pid], speeds, known) for pid in batch]).encode("utf-8")


def _documents(entries, speeds, max_body, known):
    """Fills documents in pid order, each process joining the current document while it
    fits. A batch of processes is encoded as one list, whose text between the brackets
    is exactly their texts joined by commas; only a batch that would not fit the current
    document is encoded process by process to find where the document ends.

    A document holds a run of consecutive pids; a report of one document has all of
    `entries` as its members, without a copy of the table."""
    documents = []
    parts = []
    size = len(_HEAD) + len(_TAIL)
    pids = sorted(entries)
    first = 0  # where the current document's pids start
    for start in range(0, len(pids), _BATCH):
        batch = pids[start:start + _BATCH]
        joined = _batch_text(batch, entries, speeds, known)
        extra = len(joined) + (1 if parts else 0)
        if size + extra <= max_body:
            parts.append(joined)
            size += extra
            continue
        for index, pid in enumerate(batch, start):
            item = _process_text(pid, entries[pid], speeds, known).encode("utf-8")
            if len(_HEAD) + len(_TAIL) + len(item) > max_body:
                # The program is optional: a process it would not fit a document with goes without.
                item = _process_text(pid, entries[pid], speeds, known, with_program=False).encode("utf-8")
            extra = len(item) + (1 if parts else 0)
            if parts and size + extra > max_body:
                documents.append((_document_body(parts), {p: entries[p] for p in pids[first:index]}))
                parts, first = [], index
                size = len(_HEAD) + len(_TAIL)
                extra = len(item)
            parts.append(item)
            size += extra
    members = entries if first == 0 else {p: entries[p] for p in pids[first:]}
    documents.append((_document_body(parts), members))
    return documents


def _document_body(parts):
    """The document of these process texts, made in one copy: a report's body is up
    to 1 MiB, and each concatenation would make another."""
    pieces = [_HEAD]
    for part in parts:
        pieces += (part, b",")
    if parts:
        pieces.pop()
    pieces.append(_TAIL)
    return b"".join(pieces)
