"""The libSQL driver's errors, as one clean line each.

The `libsql` driver raises every error of a server as a ValueError whose text
wraps the server's answer in one layer per part of the driver that passed it
on: ``Hrana: `stream error: `Error { message: "SQLite error: no such table:
t", code: "SQLITE_UNKNOWN" }```. `clean` keeps the message (``no such table:
t``, as sqlite3 words it) and the server's code, and names the one failure
that needs explaining: a transaction the server ended on its own.
"""

from __future__ import annotations

import json
import re

_PREFIX = "Hrana: "
# One layer: `kind error: `inner`` (the inner text keeps its own backticks).
_LAYER = re.compile(r"`(?P<kind>[a-z ]+) error: (?P<inner>`.*`)`", re.DOTALL)
_SERVER = re.compile(r'Error \{ message: "(?P<message>.*)", code: "(?P<code>\w+)" \}', re.DOTALL)
_STEP = re.compile(r"error at step \d+: \(error code: (?P<code>\w+)\) `?(?P<message>.*?)`*$", re.DOTALL)

# An HTTP answer the driver passes on as it came: `status=400 Bad Request, body={...}`.
_BODY = re.compile(r"status=(?P<status>\d+)[^,]*, body=(?P<json>\{.*\})$", re.DOTALL)

TRANSACTION_TIMEOUT = "TRANSACTION_TIMEOUT"
# Another connection holds the lock the statement needs.
BUSY = "SQLITE_BUSY"
# The server wants a valid JWT (connect's auth_token) and got none or another.
UNAUTHORIZED = "UNAUTHORIZED"
# The server drops a stream (and its transaction) that sent no request for 10 s.
STREAM_EXPIRED = "STREAM_EXPIRED"


class LibsqlError(ValueError):
    """An error of a libSQL server or of the way to it; `code` is the
    server's error code when it sent one (e.g. "SQLITE_CONSTRAINT").

    A ValueError, as the driver raises, so that existing handlers still catch it.
    """

    def __init__(self, message: str, code: str | None = None) -> None:
        super().__init__(message)
        self.code = code


class TransactionTimeoutError(LibsqlError):
    """The server ended a transaction that was older than its limit while
    another writer waited: nothing of the transaction was committed."""


def clean(exc: ValueError) -> LibsqlError | None:
    """The clean error of a driver error; None when `exc` is not one."""
    text = str(exc)
    if not text.startswith(_PREFIX):
        return None
    text, kinds = text[len(_PREFIX) :], []
    while (layer := _LAYER.fullmatch(text)) is not None:
        kinds.append(layer["kind"])
        text = layer["inner"]
    if len(text) > 1 and text[0] == text[-1] == "`":
        text = text[1:-1]
    code = None
    if (server := _SERVER.fullmatch(text)) is not None:
        text, code = server["message"].replace('\\"', '"').replace("\\\\", "\\"), server["code"]
    elif (step := _STEP.fullmatch(text)) is not None:
        text, code = step["message"], step["code"]
    elif (body := _BODY.search(text)) is not None:
        try:
            answer = json.loads(body["json"])
            if body["status"] == "401":
                text, code = _refused(str(answer["error"])), UNAUTHORIZED
            else:
                text, code = str(answer["message"]), str(answer["code"])
        except (ValueError, KeyError, TypeError):
            pass
    text = text.removeprefix("SQLite error: ")
    if code == TRANSACTION_TIMEOUT:
        return TransactionTimeoutError(
            "the libSQL server ended the transaction: it was older than the server's time "
            "limit while another writer waited; nothing of it was committed",
            code,
        )
    if "http" in kinds and code != UNAUTHORIZED:
        text = f"cannot reach the libSQL server: {text}"
    return LibsqlError(text, code)


def _refused(reason: str) -> str:
    # The server's reason names the token's fault, never the token itself.
    reason = reason.removeprefix("Unauthorized: ").strip("`")
    return (f"the libSQL server refused the request: {reason} "
            f"(give its token as auth_token= or in LIBSQL_AUTH_TOKEN)")
