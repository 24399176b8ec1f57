"""The NEV object through the binding: a receipt on nev-sim, outcomes, by-reference outputs, the
message sink, run-time errors, hostile arguments and threads."""
import math
import threading

import pytest

import nev

TITLE = "НЕВ COM Сървър"


def test_receipt_on_the_simulator(sim, tmp_path):
    device = sim()
    messages = []
    with nev.NEV(str(tmp_path)) as p:
        p.message_sink = lambda *message: messages.append(message)
        assert p.InitConnection(device.device, 9600)
        assert p.OpenFiscNote("1", "0000")
        assert p.SellTaxGroup("Хляб", "B", 2, 1.20)
        assert p.SellTaxGroup(Name="Мляко", TaxGroup="B", Q=1, P=2.35)
        total, a, b, c = totals = p.SubTotal()
        assert totals.ok and (total, a, b, c) == (4.75, 0, 4.75, 0)
        assert p.Pay(1, 5)
        assert p.CloseFiscNote()
        record = p.last_call
        assert (record.member, record.ok, record.outcome) == ("CloseFiscNote", True, "answered")
        assert record.reply.split("\t")[1] == "4.75"  # receipt number TAB total
        assert record.status is not None and not record.flags.fiscal_receipt_open
        assert record.error is None
    assert not p.StopConnection()  # the with block closed the line
    roll = device.till_roll()
    assert roll.count("Хляб") == 1 and roll.count("Мляко") == 1
    assert messages == []


@pytest.mark.parametrize("options, call, result, outcome, message", [
    ((), lambda p: p.CloseFiscNote(), False, "refused", None),  # nothing to close
    ((), lambda p: p.ZDay(), "True", "answered", None),
    ((), lambda p: p.FiscText("x"), False, "nak", "Грешна команда!"),  # no receipt open
    (("--nak", "0x8F"), lambda p: p.PaperFeed(1), False, "nak", "Грешна команда!"),
    (("--nak", "0x9A"), lambda p: p.ZArticles(), False, "nak", "Грешна команда!"),
    ((), lambda p: p.GetStatus(), 0, "answered", None),
])
def test_refusals_are_outcomes(connect, options, call, result, outcome, message):
    printer = connect(*options)
    assert call(printer.p) == result
    record = printer.p.last_call
    assert record.outcome == outcome and record.ok == (outcome == "answered")
    assert record.flags.general_error == (outcome == "refused")
    assert printer.messages == ([(message, 16, TITLE)] if message else [])


def test_no_connection_is_an_outcome_and_a_port_that_does_not_open_raises(tmp_path):
    p = nev.NEV(str(tmp_path))
    p.message_sink = lambda *message: None
    assert p.GetStatus() == -33 and p.last_call.outcome == "no-connection"
    assert p.GetNumberofNotes() == "" and p.ZArticles() is False
    with pytest.raises(nev.Error, match="Cannot open") as raised:
        p.InitConnection(str(tmp_path / "no-such-device"), 9600)
    assert raised.value.number == 8002


def test_the_gil_is_released_while_the_device_is_awaited(connect):
    printer = connect("--lose-answer", "0xA1")  # GetStatus runs, its answer never comes
    sink_threads = []
    printer.p.message_sink = lambda *m: sink_threads.append((threading.get_ident(), m))
    in_call = threading.Event()
    done = threading.Event()
    counted = 0

    def count():
        nonlocal counted
        while not done.is_set():
            if in_call.is_set():
                counted += 1
            done.wait(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    in_call.set()
    status = printer.p.GetStatus()  # the 3 s time-out
    in_call.clear()
    done.set()
    counter.join()
    assert status == -33 and printer.p.last_call.outcome == "timeout"
    # Held during the wait, the GIL would have let the counter run a few times at most.
    assert counted >= 50
    assert sink_threads == [(threading.get_ident(), ("RS232 Time out!", 16, TITLE))]


def test_by_reference_outputs(connect):
    p = connect().p
    refused = p.SubTotal()  # no receipt open: refused, the totals stay 0
    assert not refused and refused.ok is False and tuple(refused) == (0, 0, 0, 0)
    assert p.SendSerNum(" AB12 ") == "AB12"
    assert p.SendSerNum(Num="7") == "7"
    assert p.OpenFiscNote("1", "0000") and p.SellDep(1, 2, 1.5)
    totals = p.SubTotal()
    assert totals and totals.Total == 3.0 and sum(totals[1:]) == 3.0
    assert p.VoidAll()


class Collector:
    def __init__(self):
        self.seen = []

    def method(self, text, style, title):
        self.seen.append(text)

    __call__ = method


def test_any_callable_is_a_message_sink_and_what_it_raises_comes_from_the_call(connect):
    p = connect().p
    seen = []
    as_object, as_method = Collector(), Collector()
    for sink, got in ((lambda text, style, title: seen.append(text), seen),
                      (as_object, as_object.seen), (as_method.method, as_method.seen)):
        p.message_sink = sink
        assert p.message_sink is sink
        assert not p.FiscText("x")  # NAK: no receipt open
        assert got == ["Грешна команда!"]

    def sink(text, style, title):
        raise LookupError(text)

    p.message_sink = sink
    with pytest.raises(LookupError, match="Грешна команда!"):
        p.FiscText("x")
    assert p.last_call.outcome == "nak"  # the call ran to its end
    assert p.GetStatus() == 0  # and the object goes on
    with pytest.raises(TypeError, match="callable"):
        p.message_sink = 5
    p.message_sink = None
    assert p.message_sink is None

    def once(text, style, title):  # a sink that takes itself away while it runs
        p.message_sink = None

    p.message_sink = once
    assert not p.FiscText("x") and p.message_sink is None


@pytest.mark.parametrize("call, number, named", [
    (lambda p: p.SellArt(1, math.nan, 1), 5, "Q = nan is not a number"),
    (lambda p: p.Pay(1, math.inf), 5, "Sum"),
    (lambda p: p.PaperFeed(40000), 5, "Rows = 40000 is out of range"),
    (lambda p: p.SetArticle("1", "x", "1.00", 256, 1, 0, 0, "", "1"), 5, "TaxG"),
    (lambda p: p.SellTaxGroup("a\tb", "B", 1, 1), 5, "Name"),
    (lambda p: p.SellArt(1, 1e300, 1), 5, "too large for an amount"),
])
@pytest.mark.parametrize("silent", [False, True])
def test_run_time_errors_raise(connect, call, number, named, silent):
    printer = connect()
    printer.p.SilentMode = silent
    with pytest.raises(nev.Error) as raised:
        call(printer.p)
    assert raised.value.number == number and named in raised.value.description
    record = printer.p.last_call
    assert record.outcome == "bad-argument" and record.error.number == number
    # The error handler still shows it, unless SilentMode sends it to the log.
    assert printer.messages == ([] if silent else [(raised.value.description, 16, TITLE)])


HUGE = 2 ** 80


@pytest.mark.parametrize("call, error, text", [
    (lambda p: p.PaperFeed(None), TypeError, "Rows must be an int, not NoneType"),
    (lambda p: p.PaperFeed(2.0), TypeError, "Rows must be an int, not float"),
    (lambda p: p.PaperFeed(True), TypeError, "Rows must be an int"),
    (lambda p: p.PaperFeed(HUGE), nev.Error, "Overflow: Rows is outside"),
    (lambda p: p.SellArt(2 ** 31, 1, 1), nev.Error, "n = 2147483648 is outside"),
    (lambda p: p.SellArt(1, HUGE ** 20, 1), nev.Error, "Q is too large"),
    (lambda p: p.SellArt(1, "2", 1), TypeError, "Q must be a number"),
    (lambda p: p.SellArt(1, None, 1), TypeError, "Q must be a number"),
    (lambda p: p.FiscText(b"bytes"), TypeError, "text must be a str, not bytes"),
    (lambda p: p.FiscText(None), TypeError, "text must be a str"),
    (lambda p: p.FiscText("\ud800"), nev.Error, "text holds a character"),
    (lambda p: p.FiscText("x" * 1_000_000), nev.Error, "(error 5)"),  # oversize
    (lambda p: p.OpenFiscNote(1, "0000"), TypeError, "casher must be a str"),
    (lambda p: p.Addition(None), TypeError, "Proportional must be a bool"),
    (lambda p: p.SellArt(1, 1), TypeError, "incompatible function arguments"),
    (lambda p: p.SellArt(n=1, Q=1, Price=1), TypeError, "incompatible function arguments"),
    (lambda p: p.InitConnection(b"/dev/x", 9600), TypeError, "device must be a str"),
    (lambda p: p.InitConnection(1, HUGE, 1, 0, 8), nev.Error, "BaudRate"),
    (lambda p: setattr(p, "MaxWait", HUGE), nev.Error, "ms is outside"),
    (lambda p: setattr(p, "SilentMode", "yes"), TypeError, "SilentMode must be a bool"),
])
def test_hostile_arguments_are_refused(connect, call, error, text):
    printer = connect()
    with pytest.raises(error) as raised:
        call(printer.p)
    assert text in str(raised.value)
    assert printer.p.GetStatus() == 0  # the object and its line are still good


def test_an_object_belongs_to_its_thread(connect):
    p = connect().p
    errors = []

    def use_elsewhere():
        for use in (p.GetStatus, lambda: p.last_call, lambda: p.SellArt(1, 1, 1)):
            try:
                use()
            except RuntimeError as e:
                errors.append(str(e))
        own = nev.NEV()  # an object of its own is fine
        own.message_sink = lambda *m: None
        errors.append(own.GetStatus())

    thread = threading.Thread(target=use_elsewhere)
    thread.start()
    thread.join()
    assert len(errors) == 4 and all("one NEV object per thread" in e for e in errors[:3])
    assert errors[3] == -33
    assert p.GetStatus() == 0


def test_an_object_whose_sink_refers_to_it_is_collected(tmp_path):
    import gc
    import weakref
    p = nev.NEV(str(tmp_path))
    p.message_sink = lambda *message: p.last_call  # a cycle through the sink
    collected = weakref.ref(p)
    del p
    gc.collect()
    assert collected() is None
