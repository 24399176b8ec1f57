"""Receipts as transactions: a document (a dict or its JSON text) runs as one transaction on the
printer, with a durable SQLite journal so that a document id is printed at most once.

    result = nev.receipt.submit(doc, port="/dev/ttyUSB0", journal="/var/lib/till/receipts.db")
    result["state"]   # "printed", "voided", "refused" or "unknown"

The result has the fields of `nevctl receipt --json`.
"""
from . import _nev

submit = _nev.receipt.submit
journal = _nev.receipt.journal

__all__ = ["submit", "journal"]
