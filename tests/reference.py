"""The reference model of the merge, the query and the resolver, row by row in memory.

The property tests compare the extension with this module. It holds both tiers
as lists of (rowid, values) and states each documented rule in its plainest
form, favouring clarity over speed:

* A reference (tier, rowid) names a row: tier 1 staged, 0 main. Staged rows are
  newer than main rows; within a tier the larger row id is newer, so the larger
  reference is the newer row.
* Two rows are linked when, under some rule, every column holds SQL-equal
  values: NULL equals nothing; numbers compare by value; text and blobs by class
  and content, texts as the column's collation compares them (NOCASE folds ASCII
  letters, RTRIM ignores trailing spaces). For the values SQLite hands back, that
  is Python's `==` on anything but None, after `fold`.
* A row's key under a rule is the tuple of its folded values there. A key holding
  a NULL links nothing: the merge neither claims nor checks it, and in find it
  holds nothing.
* A negative rule position counts from the end of the column list.
"""

import copy


_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


def fold(value, collation="BINARY"):
    """A value as a column's collation compares it: only texts fold."""
    if not isinstance(value, str):
        return value
    collation = collation.upper()
    if collation == "NOCASE":
        return value.translate(_ASCII_LOWER)
    if collation == "RTRIM":
        return value.rstrip(" ")
    return value


def sql_equal(a, b, collation="BINARY"):
    """SQLite's = on untyped columns under the column's collation."""
    return a is not None and b is not None and fold(a, collation) == fold(b, collation)


def read_rules(conn, table):
    """Rule name -> positions from the catalogue; a repeated name keeps its place and
    takes the later row's positions."""
    rules = {}
    for _, name, _, col_num in conn.execute(
            "SELECT * FROM unique_table WHERE table_name = ? COLLATE NOCASE", (table,)):
        rules[name] = [int(piece) for piece in str(col_num).split(",")]
    return rules


def read_rows(conn, table):
    return [(row[0], tuple(row[1:]))
            for row in conn.execute(f"SELECT rowid,* FROM {table} ORDER BY rowid")]


def _next_id(tier):
    return max((rowid for rowid, _ in tier), default=0) + 1


class Tables:
    """Both tiers of one managed table and its unique rules."""

    def __init__(self, ncols, rules, main=(), staged=(), collations=None):
        self.rules = {name: [range(ncols)[p] for p in positions]
                      for name, positions in rules.items()}
        self.collations = list(collations or ["BINARY"] * ncols)
        self.main = sorted(main, key=lambda r: r[0])
        self.staged = sorted(staged, key=lambda r: r[0])

    @classmethod
    def read(cls, conn, table, collations=None):
        """The model of a table as the connection sees it; `collations`, one per column,
        as the table declares them (BINARY when not given)."""
        ncols = len(conn.execute(f"PRAGMA table_info({table})").fetchall())
        return cls(ncols, read_rules(conn, table), read_rows(conn, table),
                   read_rows(conn, f"temp_{table}"), collations)

    def key(self, values, name):
        return tuple(fold(values[p], self.collations[p]) for p in self.rules[name])

    def linked(self, x, y):
        return any(all(sql_equal(x[p], y[p], self.collations[p]) for p in positions)
                   for positions in self.rules.values())

    def rows(self):
        """Every row as (reference, values), staged first."""
        return [((1, i), v) for i, v in self.staged] + [((0, i), v) for i, v in self.main]

    # ---- writes ---------------------------------------------------------------------

    def stage(self, rows):
        for values in rows:
            self.staged.append((_next_id(self.staged), tuple(values)))

    def delete(self, ids):
        self.main = [row for row in self.main if row[0] not in ids]

    def merge(self, upto=None):
        """temp_to_main, or the merge of the staged rows up to row id `upto`. Staged rows
        are taken newest first; a row whose key under any rule a newer staged row holds is
        left out. Every main row linked to a staged row read is deleted, and the survivors
        are appended newest first. Returns (replaced main row ids, surviving values)."""
        read = [row for row in self.staged if upto is None or row[0] <= upto]
        claimed = {name: set() for name in self.rules}
        survivors = []
        for _, values in sorted(read, key=lambda r: r[0], reverse=True):
            keys = {name: key for name in self.rules
                    if None not in (key := self.key(values, name))}
            if not any(key in claimed[name] for name, key in keys.items()):
                survivors.append(values)
            for name, key in keys.items():
                claimed[name].add(key)
        replaced = {rowid for rowid, kept in self.main
                    if any(self.linked(kept, values) for _, values in read)}
        self.delete(replaced)
        for values in survivors:
            self.main.append((_next_id(self.main), values))
        self.staged = self.staged[len(read):]
        return replaced, survivors

    # ---- reads ----------------------------------------------------------------------

    def resolve(self, ref, values, visited):
        """_check_newest_unique: (True, `visited` grown by every row linked to `ref`,
        directly or through chains) when none of them is newer, else (False, None).
        The first lookups use `values`; rows in `visited` on entry are neither compared
        nor followed."""
        everything = self.rows()
        todo = [values]
        while todo:
            current = todo.pop()
            for other, other_values in everything:
                if other in visited or not self.linked(current, other_values):
                    continue
                if other > ref:
                    return False, None
                visited.add(other)
                todo.append(other_values)
        return True, visited

    def newest(self, ref, values):
        return self.resolve(ref, values, {ref})[0]

    def find(self, reads, members):
        """find over the rows its conditions read, (reference, values) staged first in read
        order: each row that is the newest of its linked rows, unless a row returned before
        holds one of its keys (a key with a NULL is held by none); as lists of the values at
        `members`."""
        held = {name: set() for name in self.rules}
        found = []
        for ref, values in reads:
            keys = {name: self.key(values, name) for name in self.rules}
            keys = {name: key for name, key in keys.items() if None not in key}
            if any(key in held[name] for name, key in keys.items()):
                continue
            if not self.newest(ref, values):
                continue
            found.append([values[m] for m in members])
            for name, key in keys.items():
                held[name].add(key)
        return found

    def chain_case(self, upto=None):
        """Whether find returns other rows after a merge (of the staged rows up to `upto`)
        than before it. The merge deletes a main row only for a staged row that holds equal
        values with it, and leaves out a staged row only for a newer staged row that does,
        while find withholds a row for any newer row linked to it, directly or through a
        chain: only a chain through rows that the merge deletes or leaves out can withhold
        a row before and not after."""
        merged = copy.deepcopy(self)
        merged.merge(upto)

        def everything(tables):
            return sorted(map(repr, tables.find(tables.rows(), range(len(self.collations)))))

        return everything(self) != everything(merged)
