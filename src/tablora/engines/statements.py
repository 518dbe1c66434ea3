"""What a statement does to the transaction of its connection.

The adapters track transactions themselves, the way SQLite does, from the
statements that pass through them: the drivers either do not tell (dqlite's
driver keeps reporting a transaction after the outermost RELEASE) or cannot
keep one (libSQL's HTTP protocol drops a savepoint opened outside BEGIN).
"""

from __future__ import annotations

import re

# Statements whose changed rows count towards total_changes, as in SQLite.
DATA_CHANGE = frozenset({"INSERT", "UPDATE", "DELETE", "REPLACE"})
# Statements before which the dqlite adapter opens a transaction when none is
# open: sqlite3's legacy mode does so before data changes; schema changes are
# included so that they, too, wait for commit().
IMPLICIT_BEGIN = DATA_CHANGE | {"CREATE", "DROP", "ALTER"}

_LEADING = re.compile(r"(?:\s+|--[^\n]*(?:\n|$)|/\*.*?(?:\*/|$))*", re.DOTALL)
_WORD = re.compile(r'"(?:[^"]|"")*"|`[^`]*`|\[[^\]]*\]|\'(?:[^\']|\'\')*\'|[^\s;]+')


def words(sql: str, limit: int = 5) -> list[str]:
    """The first `limit` words of a statement, after leading blanks and comments.

    Keywords come upper-cased; a quoted name loses its quotes. Enough to tell
    a transaction statement and its savepoint name.
    """
    leading = _LEADING.match(sql)
    start = leading.end() if leading else 0
    found = []
    for match in _WORD.finditer(sql, start):
        word = match.group()
        if word[0] in "\"`['":
            word = word[1:-1]
        found.append(word.upper())
        if len(found) == limit:
            break
    return found


def keyword(sql: str) -> str:
    """The leading keyword of a statement, upper-cased ('' for none)."""
    first = words(sql, 1)
    return first[0] if first else ""


class Transaction:
    """SQLite's transaction state, replayed from the statements that succeeded.

    `savepoints` is the stack of open savepoint names; `by_savepoint` is true
    when the outermost SAVEPOINT opened the transaction, so that releasing it
    ends the transaction.
    """

    def __init__(self) -> None:
        self.open = False
        self.by_savepoint = False
        self.savepoints: list[str] = []

    def end(self) -> None:
        self.open = False
        self.by_savepoint = False
        self.savepoints.clear()

    def begin(self) -> None:
        self.open = True
        self.by_savepoint = False
        self.savepoints.clear()

    def ran(self, sql: str) -> None:
        """Record that `sql` succeeded."""
        head = words(sql)
        verb = head[0] if head else ""
        if verb == "BEGIN":
            self.begin()
        elif verb in ("COMMIT", "END"):
            self.end()
        elif verb == "SAVEPOINT" and len(head) > 1:
            if not self.open:
                self.open, self.by_savepoint = True, True
            self.savepoints.append(head[1])
        elif verb == "RELEASE":
            self._release(savepoint_name(head))
        elif verb == "ROLLBACK":
            name = savepoint_name(head)
            if name is None:
                self.end()
            elif name in self.savepoints:
                # ROLLBACK TO keeps the savepoint itself open
                del self.savepoints[len(self.savepoints) - self.savepoints[::-1].index(name) :]

    def _release(self, name: str | None) -> None:
        if name not in self.savepoints:
            return
        del self.savepoints[len(self.savepoints) - 1 - self.savepoints[::-1].index(name) :]
        if not self.savepoints and self.by_savepoint:
            self.end()

    def releases_outermost(self, sql: str) -> bool:
        """True when `sql` releases the savepoint that opened the transaction."""
        head = words(sql)
        if not head or head[0] != "RELEASE" or not self.by_savepoint:
            return False
        name = savepoint_name(head)
        return bool(self.savepoints) and name == self.savepoints[0] and name not in self.savepoints[1:]


def savepoint_name(head: list[str]) -> str | None:
    """The savepoint of RELEASE [SAVEPOINT] x or ROLLBACK [TRANSACTION] TO [SAVEPOINT] x."""
    rest = head[1:]
    if head and head[0] == "ROLLBACK":
        if rest[:1] == ["TRANSACTION"]:
            rest = rest[1:]
        if rest[:1] != ["TO"]:
            return None
        rest = rest[1:]
    if rest[:1] == ["SAVEPOINT"]:
        rest = rest[1:]
    return rest[0] if rest else None
