"""Payload bytes per process since the last report."""


class Tally:
    """{pid: [tx, rx]} since the last take(); pid 0 holds what no process could be found for."""

    def __init__(self):
        self.acc = {}

    def count(self, pid, tx, rx):
        if tx <= 0 and rx <= 0:
            return
        pid = pid or 0
        entry = self.acc.get(pid)
        if entry is None:
            self.acc[pid] = [max(tx, 0), max(rx, 0)]
        else:
            entry[0] += max(tx, 0)
            entry[1] += max(rx, 0)

    def take(self):
        acc, self.acc = self.acc, {}
        return acc
