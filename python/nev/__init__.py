"""The NEV fiscal printer driver: one NEV object drives one printer on a serial line.

    import nev
    with nev.NEV() as p:
        p.InitConnection("/dev/ttyUSB0", 9600)
        p.OpenFiscNote("1", "0000")
        ...

Every member has its published name and parameters (docs/api.md); run-time errors raise
nev.Error, refusals and time-outs return False and last_call tells which it was. Receipts as
transactions with a journal: nev.receipt.
"""
from typing import NamedTuple


class Error(Exception):
    """A run-time error of the driver: number (5 a refused argument, 6 overflow, 13 type mismatch,
    8002 a port that did not open...) and description, which names a refused argument and its
    value."""

    def __init__(self, number, description):
        super().__init__(number, description)
        self.number = number
        self.description = description

    def __str__(self):
        return f"{self.description} (error {self.number})"


class DocumentError(ValueError):
    """A receipt document that cannot be run: path names the field ("items[0].price"; empty for
    the whole document)."""

    def __init__(self, path, message):
        super().__init__(path, message)
        self.path = path
        self.message = message

    def __str__(self):
        return f"{self.path}: {self.message}" if self.path else self.message


class _Totals(NamedTuple):
    Total: float
    TotalA: float
    TotalB: float
    TotalC: float


class SubTotalResult(_Totals):
    """SubTotal's four by-reference totals (total, a, b, c = p.SubTotal()); true (ok) when the
    device answered with them."""

    def __new__(cls, ok, total, a, b, c):
        self = super().__new__(cls, total, a, b, c)
        self.ok = ok
        return self

    def __bool__(self):
        return self.ok

    def __repr__(self):
        return (f"SubTotalResult(ok={self.ok}, Total={self.Total}, TotalA={self.TotalA}, "
                f"TotalB={self.TotalB}, TotalC={self.TotalC})")


from . import _nev  # noqa: E402  (the classes above are handed to it)

_nev._register(Error, DocumentError, SubTotalResult)

NEV = _nev.NEV
CallRecord = _nev.CallRecord
StatusFlags = _nev.StatusFlags
__version__ = _nev.__version__

from . import receipt  # noqa: E402

__all__ = ["NEV", "Error", "DocumentError", "SubTotalResult", "CallRecord", "StatusFlags",
           "receipt", "__version__"]
