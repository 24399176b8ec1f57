"""Receipts as transactions with a durable journal: a document id is printed at most once."""
from typing import Any, Dict, List, Mapping, Optional, Union


def submit(document: Union[Mapping[str, Any], str], *, port: Union[str, int], journal: str,
           baud: int = 9600, shared: bool = False,
           log_dir: Optional[str] = None) -> Dict[str, Any]:
    """Runs the document (a dict, or its JSON text) as one transaction on the printer at port (a
    device path, or a port number) and returns the result with the fields of
    `nevctl receipt --json`: id, state ("printed", "voided", "refused", "unknown"),
    receiptNumber, total, change, steps, error, evidence, warnings, device (and fromJournal when
    the result is the one recorded earlier: a document id already finished in the journal is
    answered from it and nothing is sent). Unfinished transactions of the journal are settled
    with the device first. shared: other programs print on this device too (figures of the
    device ahead of the journal are a warning). log_dir: an existing folder for the driver's
    log. Raises nev.DocumentError naming the field of a document that cannot be run (nothing is
    sent), RuntimeError when the journal cannot be used before anything was sent."""


def journal(path: str) -> List[Dict[str, Any]]:
    """The journal's rows, oldest first: id, kind, state (None while unfinished), step (the last
    one written ahead), updated (UTC), device (its serial number), document and result (dicts;
    result None while unfinished)."""
