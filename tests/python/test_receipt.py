"""nev.receipt: a document through the receipt library on nev-sim, its journal, and refusals."""
import json

import pytest

import nev

DOCUMENT = {
    "id": "py-0001",
    "operator": {"number": 1, "password": "0000"},
    "items": [{"text": "Хляб", "taxGroup": "B", "quantity": 2, "price": 1.20},
              {"text": "Мляко", "taxGroup": "B", "quantity": 1, "price": 2.35}],
    "payments": [{"type": 1, "amount": 5}],
}


def test_a_document_submitted_twice_prints_once(sim, tmp_path):
    device = sim()
    db = str(tmp_path / "receipts.db")
    first = nev.receipt.submit(DOCUMENT, port=device.device, journal=db, log_dir=str(tmp_path))
    assert (first["id"], first["state"], first["total"]) == ("py-0001", "printed", 4.75)
    assert first["change"] == 0.25 and first["error"] is None and "fromJournal" not in first
    assert [s["member"] for s in first["steps"]][-1] == "CloseFiscNote"
    # The same document again, as JSON text: answered from the journal, nothing sent.
    again = nev.receipt.submit(json.dumps(DOCUMENT), port=device.device, journal=db)
    assert again["fromJournal"] and again["receiptNumber"] == first["receiptNumber"]
    roll = device.till_roll()
    assert roll.count("Хляб") == 1 and roll.count("Мляко") == 1
    rows = nev.receipt.journal(db)
    assert len(rows) == 1
    row = rows[0]
    assert (row["id"], row["kind"], row["state"]) == ("py-0001", "sale", "printed")
    assert row["document"]["items"][0]["text"] == "Хляб"
    assert row["result"]["receiptNumber"] == first["receiptNumber"] and row["device"]


@pytest.mark.parametrize("document, kwargs, error, text", [
    ({**DOCUMENT, "items": [{"text": "x", "taxGroup": "B", "quantity": 1, "price": 1.001}]}, {},
     nev.DocumentError, "items[0].price"),
    ({**DOCUMENT, "payments": [{"type": 1, "amount": float("nan")}]}, {}, nev.DocumentError,
     "JSON"),
    ("{not json", {}, nev.DocumentError, ""),
    (b"{}", {}, TypeError, "document must be a dict or a JSON text"),
    (None, {}, TypeError, "document must be a dict"),
    (DOCUMENT, {"journal": ""}, nev.Error, "journal is empty"),
    (DOCUMENT, {"port": "a\0b"}, nev.Error, "port holds a NUL"),
    (DOCUMENT, {"port": None}, TypeError, "port must be a str"),
    (DOCUMENT, {"baud": 2 ** 70}, nev.Error, "baud is outside"),
])
def test_submit_refuses_before_anything_is_sent(tmp_path, document, kwargs, error, text):
    args = {"port": "/nonexistent", "journal": str(tmp_path / "j.db"), **kwargs}
    with pytest.raises(error) as raised:
        nev.receipt.submit(document, **args)
    assert text in str(raised.value)
    assert isinstance(raised.value, ValueError) or error is not nev.DocumentError
