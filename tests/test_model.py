"""Model-based check: random sequences of create, stage, merge, delete and find.

The reference model (reference.py) holds the rows of both tiers with their row
ids and says what every operation must do; both tables are compared with it
after every step. The key columns are declared BINARY, NOCASE or RTRIM. Across a
merge, every row that find returned before it and whose rule values hold no NULL
is returned after it too; with a single rule and no NULL in its columns, find
returns exactly the same rows before and after.
"""

import os
import tempfile

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import (RuleBasedStateMachine, initialize, invariant, precondition,
                                 rule)

import tablora.tablora as T
from tablora._merge import merge

from reference import Tables
from support import prepared_connection, through_functions, typed

COLS = ["a", "b", "c", "d"]  # d carries a unique payload and no rule
VALUES = [None, 0, 1, 1.0, 2, "1", "x", "X", "x ", b"x"]
collations = st.lists(st.sampled_from(["BINARY", "NOCASE", "RTRIM"]), min_size=3, max_size=3)

# (conditions, the rows they select, whether they read newest first)
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


def reads(model, condition):
    """The rows `condition` selects, (reference, values) staged first, in read order."""
    _, keep, descending = condition
    return [((tier, rowid), v)
            for tier, table in ((1, model.staged), (0, model.main))
            for rowid, v in sorted(table, key=lambda r: r[0], reverse=descending) if keep(v)]


def main_is_unique(model):
    return not any(model.linked(x, y)
                   for i, (_, x) in enumerate(model.main) for _, y in model.main[i + 1:])


def clean(model, values):
    """No NULL in any rule's columns."""
    return all(values[p] is not None for ps in model.rules.values() for p in ps)


class TableMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.directory = tempfile.TemporaryDirectory()
        path = os.path.join(self.directory.name, "model.db")
        self.conn = prepared_connection(path)
        self.conn.execute("PRAGMA synchronous=OFF")
        self.payload = 0
        self.model = None

    def teardown(self):
        self.conn.close()
        self.directory.cleanup()

    def create(self, rules, keys):
        """Rules over a, b and c, declared with the collations `keys`."""
        named = {f"u{i}": ps for i, ps in enumerate(rules)}
        declared = [f"{c} COLLATE {k}" for c, k in zip(COLS, keys)] + COLS[3:]
        T.create_table(self.conn, "t", declared, [{"name": "by_d", "cols": "d"}],
                       [{"name": n, "cols": ps} for n, ps in named.items()])
        self.model = Tables(len(COLS), named, collations=[*keys, "BINARY"])

    @initialize(rules=rule_sets, keys=collations)
    def start(self, rules, keys):
        self.create(rules, keys)

    @rule(rules=rule_sets, keys=collations)
    def recreate(self, rules, keys):
        self.create(rules, keys)

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
        assert main_is_unique(self.model)
        kept = {tuple(r) for r in after}
        lost = [r for r in before if clean(self.model, r) and tuple(r) not in kept]
        assert not lost, f"newest rows lost by the merge: {lost}"
        if len(self.model.rules) == 1 and all(clean(self.model, r) for r in before + after):
            assert sorted(map(tuple, before), key=repr) == sorted(map(tuple, after), key=repr)

    @rule(data=st.data())
    def counted_merge(self, data):
        """tablora._merge.merge, on either path, of all staged rows or a prefix: its counts
        are the model's."""
        ids = [rowid for rowid, _ in self.model.staged]
        upto = data.draw(st.one_of(st.none(), st.integers(0, 60),
                                   *([st.sampled_from(ids)] if ids else [])))
        keep = data.draw(st.sampled_from([None, True, False]))
        read = len([rowid for rowid in ids if upto is None or rowid <= upto])
        with through_functions(data.draw(st.booleans())):
            counts = merge(self.conn, "t", through_row_id=upto, keep_indexes=keep)
        replaced, survivors = self.model.merge(upto)
        assert counts == (read, len(survivors), len(replaced))

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
        assert got == self.model.find(reads(self.model, condition), select[1])

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
        expected = self.model.resolve(reference, values, {reference})
        assert verdict == expected[0]
        if verdict:
            assert result_set is visited and visited == expected[1]
        else:
            assert result_set is None

    @invariant()
    def tables_match(self):
        if self.model is None:
            return
        main = self.conn.execute("SELECT rowid, * FROM t ORDER BY rowid").fetchall()
        staged = self.conn.execute("SELECT rowid, * FROM temp_t ORDER BY rowid").fetchall()
        assert typed(main) == typed((i, *v) for i, v in self.model.main)
        assert typed(staged) == typed((i, *v) for i, v in self.model.staged)


TableMachine.TestCase.settings = settings(
    max_examples=int(os.environ.get("TABLORA_MODEL_EXAMPLES", "60")),
    stateful_step_count=25,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
test_table_model = TableMachine.TestCase
