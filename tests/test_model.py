"""Model-based check: random sequences of create, stage, merge, delete and find.

A small in-memory model holds the rows of both tiers with their row ids and
says what every operation must do:

- a merge keeps, among the staged rows, the newest of every value tuple under
  every rule (a row that repeats a newer one under any rule is left out), and
  deletes every main row that some staged row matches under a rule by SQL
  equality (NULL matches nothing); survivors are appended newest first;
- find returns, in read order, each row that is the newest of the rows linked
  to it (through SQL-equal, non-NULL values under some rule, directly or along
  a chain) unless a row already returned holds one of its value tuples;
- _check_newest_unique gives the same verdict and, when true, the references
  of the whole linked group.

Both tables are compared with the model after every step. Across a merge,
every row that find returned before it and whose rule values hold no NULL is
returned after it too; with a single rule and no NULL in its columns, find
returns exactly the same rows before and after.
"""

import os
import sqlite3
import tempfile
import uuid

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import (RuleBasedStateMachine, initialize, invariant, precondition,
                                 rule)

import tablora.tablora as T

COLS = ["a", "b", "c", "d"]  # d carries a unique payload and no rule
VALUES = [None, 0, 1, 1.0, 2, "1", "x", b"x"]

CONDITIONS = [
    ("", lambda v: True, False),
    ("ORDER BY rowid DESC", lambda v: True, True),
    ("WHERE a IS NOT NULL ORDER BY rowid", lambda v: v[0] is not None, False),
    ("WHERE d % 2 = 0", lambda v: v[3] % 2 == 0, False),
]
SELECTS = [("*", [0, 1, 2, 3]), ("d,a", [3, 0]), ("c", [2])]

positions = st.lists(st.integers(0, 2), min_size=1, max_size=2, unique=True).flatmap(
    lambda ps: st.tuples(*[st.sampled_from([p, p - 4]) for p in ps]).map(list))
rule_sets = st.lists(positions, min_size=1, max_size=3)
values = st.sampled_from(VALUES)
staged_rows = st.lists(st.tuples(values, values, values), min_size=1, max_size=5)


def sql_equal(x, y):
    return x is not None and y is not None and x == y


class Model:
    def __init__(self, rules):
        self.rules = rules  # name -> positions
        self.main = []  # (rowid, values)
        self.staged = []

    @staticmethod
    def next_id(table):
        return max((rowid for rowid, _ in table), default=0) + 1

    def key(self, values, name):
        return tuple(values[p] for p in self.rules[name])

    def linked(self, x, y):
        return any(all(sql_equal(x[p], y[p]) for p in ps) for ps in self.rules.values())

    def stage(self, rows):
        for values in rows:
            self.staged.append((self.next_id(self.staged), values))

    def merge(self):
        claimed = {name: set() for name in self.rules}
        survivors = []
        for _, values in sorted(self.staged, key=lambda r: r[0], reverse=True):
            repeats = False
            for name in self.rules:
                key = self.key(values, name)
                repeats = repeats or key in claimed[name]
                claimed[name].add(key)
            if not repeats:
                survivors.append(values)
        replaced = {rowid for rowid, m in self.main
                    if any(self.linked(m, s) for _, s in self.staged)}
        self.main = [r for r in self.main if r[0] not in replaced]
        for values in survivors:
            self.main.append((self.next_id(self.main), values))
        self.staged = []

    def delete(self, ids):
        self.main = [r for r in self.main if r[0] not in ids]

    def rows(self):
        """Every row as (reference, values), staged first."""
        return ([((1, i), v) for i, v in self.staged] + [((0, i), v) for i, v in self.main])

    def group(self, reference):
        """The references linked to a row, itself included."""
        everything = dict(self.rows())
        seen, todo = {reference}, [reference]
        while todo:
            current = everything[todo.pop()]
            for other, values in everything.items():
                if other not in seen and self.linked(current, values):
                    seen.add(other)
                    todo.append(other)
        return seen

    def newest(self, reference):
        return max(self.group(reference)) == reference

    def find(self, condition, members):
        _, keep, descending = condition
        held = {name: set() for name in self.rules}
        out = []
        for tier, table in ((1, self.staged), (0, self.main)):
            for rowid, values in sorted(table, reverse=descending):
                if not keep(values):
                    continue
                keys = {name: self.key(values, name) for name in self.rules}
                if any(keys[name] in held[name] for name in self.rules):
                    continue
                if not self.newest((tier, rowid)):
                    continue
                out.append([values[m] for m in members])
                for name in self.rules:
                    held[name].add(keys[name])
        return out

    def main_is_unique(self):
        for i, (_, x) in enumerate(self.main):
            for _, y in self.main[i + 1:]:
                if self.linked(x, y):
                    return False
        return True

    def clean(self, values):
        """No NULL in any rule's columns."""
        return all(values[p] is not None for ps in self.rules.values() for p in ps)


class TableMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.directory = tempfile.TemporaryDirectory()
        path = os.path.join(self.directory.name, "model.db")
        T.DB(f"model-{uuid.uuid4()}", path)
        self.conn = sqlite3.connect(path)
        self.conn.execute("PRAGMA synchronous=OFF")
        self.payload = 0
        self.model = None

    def teardown(self):
        self.conn.close()
        self.directory.cleanup()

    def create(self, rules):
        named = {f"u{i}": ps for i, ps in enumerate(rules)}
        T.create_table(self.conn, "t", list(COLS), [{"name": "by_d", "cols": "d"}],
                       [{"name": n, "cols": ps} for n, ps in named.items()])
        self.model = Model(named)

    @initialize(rules=rule_sets)
    def start(self, rules):
        self.create(rules)

    @rule(rules=rule_sets)
    def recreate(self, rules):
        self.create(rules)

    @rule(rows=staged_rows)
    def stage(self, rows):
        full = []
        for r in rows:
            self.payload += 1
            full.append(r + (self.payload,))
        T.insert_temp(self.conn, "t", full)
        self.model.stage(full)

    @rule()
    def merge(self):
        before = self.conn_find(CONDITIONS[0], SELECTS[0][0])
        T.temp_to_main(self.conn, "t")
        self.model.merge()
        after = self.conn_find(CONDITIONS[0], SELECTS[0][0])
        assert self.model.main_is_unique()
        kept = {tuple(r) for r in after}
        lost = [r for r in before if self.model.clean(r) and tuple(r) not in kept]
        assert not lost, f"newest rows lost by the merge: {lost}"
        if len(self.model.rules) == 1 and all(self.model.clean(r) for r in before + after):
            assert sorted(map(tuple, before), key=repr) == sorted(map(tuple, after), key=repr)

    @precondition(lambda self: self.model is not None)
    @rule(data=st.data())
    def delete(self, data):
        known = [rowid for rowid, _ in self.model.main]
        chosen = data.draw(st.lists(st.one_of(st.sampled_from(known), st.integers(0, 60))
                                    if known else st.integers(0, 60), max_size=3))
        as_text = data.draw(st.booleans())
        ids = [",".join(map(str, chosen))] if as_text and chosen else chosen
        T.delete_row_main(self.conn, "t", ids)
        self.model.delete(set(chosen))

    def conn_find(self, condition, select):
        return T.find(self.conn, select, "t", condition[0])

    @rule(condition=st.sampled_from(CONDITIONS), select=st.sampled_from(SELECTS))
    def find(self, condition, select):
        got = self.conn_find(condition, select[0])
        assert got == self.model.find(condition, select[1])

    @rule(data=st.data())
    def check_newest(self, data):
        rows = self.model.rows()
        if not rows:
            return
        reference, values = data.draw(st.sampled_from(rows))
        full = (reference[1], *values)
        visited = {reference}
        verdict, result_set = T._check_newest_unique(
            self.conn, "t", reference, full, dict(self.model.rules), list(COLS),
            "rowid,a,b,c,d", visited)
        assert verdict == self.model.newest(reference)
        if verdict:
            assert result_set is visited and visited == self.model.group(reference)
        else:
            assert result_set is None

    @invariant()
    def tables_match(self):
        if self.model is None:
            return
        main = self.conn.execute("SELECT rowid, * FROM t ORDER BY rowid").fetchall()
        staged = self.conn.execute("SELECT rowid, * FROM temp_t ORDER BY rowid").fetchall()
        assert main == [(i, *v) for i, v in self.model.main]
        assert staged == [(i, *v) for i, v in self.model.staged]
        assert [type(x) for r in main for x in r] == [
            type(x) for i, v in self.model.main for x in (i, *v)]


TableMachine.TestCase.settings = settings(
    max_examples=int(os.environ.get("TABLORA_MODEL_EXAMPLES", "60")),
    stateful_step_count=25,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
test_table_model = TableMachine.TestCase
