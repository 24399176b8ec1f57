// nev.NEV: the C++ NEV object for Python. Arguments are converted (and refused) while the GIL is
// held; the member then runs with the GIL released, so that other Python threads run while the
// driver waits for the device. A run-time error of the call is raised as nev.Error afterwards.
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "binding.h"
#include "nev/error.h"
#include "nev/message.h"
#include "nev/nev.h"
#include "nev/outcome.h"

namespace nev::python {

namespace {

class Printer;

// Message boxes of one object, handed to its Python callable on the calling thread.
class CallableSink : public MessageSink {
 public:
  explicit CallableSink(Printer& owner) : owner_(owner) {}
  void Show(const std::string& text, int style, const std::string& title) override;

 private:
  Printer& owner_;
};

class Printer {
 public:
  explicit Printer(const std::optional<std::string>& log_base_folder)
      : owner_(std::this_thread::get_id()),
        nev_(log_base_folder ? std::make_unique<NEV>(*log_base_folder) : std::make_unique<NEV>()) {}

  // The object, for the thread that created it only: the driver's state has no locks.
  NEV& Use() {
    if (std::this_thread::get_id() != owner_) {
      throw std::runtime_error(
          "nev.NEV: this object belongs to the thread that created it; create one NEV object "
          "per thread");
    }
    return *nev_;
  }

  // Runs a member with the GIL released, then raises what the call left: an exception of the
  // message sink first, else the call's run-time error.
  template <class Call>
  auto Run(Call&& call) -> std::invoke_result_t<Call, NEV&> {
    using Result = std::invoke_result_t<Call, NEV&>;
    NEV& nev = Use();
    if constexpr (std::is_void_v<Result>) {
      {
        py::gil_scoped_release released;
        call(nev);
      }
      RaiseLeftovers();
    } else {
      std::optional<Result> result;
      {
        py::gil_scoped_release released;
        result.emplace(call(nev));
      }
      RaiseLeftovers();
      return std::move(*result);
    }
  }

  ~Printer() {
    nev_.reset();
    // The callable goes last, and sink_ no longer names it by then: dropping it may run Python
    // code, and a collection then must not visit it.
    py::object sink = std::move(sink_);
  }
  Printer(const Printer&) = delete;
  Printer& operator=(const Printer&) = delete;

  py::object sink() const { return sink_; }
  void set_sink(py::object sink) {
    Use();
    if (!sink.is_none() && !PyCallable_Check(sink.ptr())) {
      throw py::type_error(std::string("message_sink must be callable or None, not ") +
                           Py_TYPE(sink.ptr())->tp_name);
    }
    sink_ = std::move(sink);
    nev_->SetMessageSink(sink_.is_none() ? nullptr : std::make_shared<CallableSink>(*this));
  }

  PyObject* sink_handle() const { return sink_.ptr(); }
  // For the garbage collector, which has found the object unreachable.
  void drop_sink() {
    if (nev_) nev_->SetMessageSink(nullptr);
    py::object sink = std::move(sink_);
    sink_ = py::none();
  }

  // Called by the sink on the calling thread, GIL held: the first exception is kept for the end
  // of the call, since the driver's wait must finish first.
  void Show(const std::string& text, int style, const std::string& title) {
    // Held for the call: the sink may replace itself (or be set to None) while it runs.
    const py::object sink = sink_;
    if (sink.is_none()) return;
    try {
      sink(Str(text), style, Str(title));
    } catch (py::error_already_set& e) {
      if (!sink_error_) sink_error_ = std::make_unique<py::error_already_set>(std::move(e));
    }
  }

 private:
  void RaiseLeftovers() {
    if (sink_error_) {
      std::unique_ptr<py::error_already_set> error = std::move(sink_error_);
      error->restore();
      throw py::error_already_set();
    }
    const CallRecord& record = nev_->LastCall();
    if (record.error) RaiseError(record.error->number, record.error->description);
  }

  std::thread::id owner_;
  py::object sink_ = py::none();
  std::unique_ptr<py::error_already_set> sink_error_;
  std::unique_ptr<NEV> nev_;  // last: it goes first, while its sink can still reach sink_
};

// The garbage collector's view of an object: its sink, which may refer back to the object (a
// bound method, a closure), so that such a cycle is collected and its line closed.
Printer* Instance(PyObject* self) {
  auto* instance = reinterpret_cast<py::detail::instance*>(self);
  py::detail::value_and_holder held = instance->get_value_and_holder(nullptr, false);
  return held && held.holder_constructed() ? held.value_ptr<Printer>() : nullptr;
}

int Traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (Printer* p = Instance(self)) Py_VISIT(p->sink_handle());
  return 0;
}

int Clear(PyObject* self) {
  if (Printer* p = Instance(self)) p->drop_sink();
  return 0;
}

void CallableSink::Show(const std::string& text, int style, const std::string& title) {
  py::gil_scoped_acquire gil;
  owner_.Show(text, style, title);
}

py::object Optional(const std::optional<std::string>& text) {
  return text ? py::object(Str(*text)) : py::object(py::none());
}

void BindRecord(py::module_& m) {
  py::class_<StatusFlags>(m, "StatusFlags", "The named bits of status byte 0 of a reply frame.")
      .def_readonly("general_error", &StatusFlags::general_error, "byte 0, bit 0")
      .def_readonly("no_paper", &StatusFlags::no_paper, "byte 0, bit 2")
      .def_readonly("fiscal_receipt_open", &StatusFlags::fiscal_receipt_open, "byte 0, bit 3")
      .def_readonly("nonfiscal_receipt_open", &StatusFlags::nonfiscal_receipt_open, "byte 0, bit 4")
      .def("__repr__", [](const StatusFlags& f) {
        return py::str(
                   "StatusFlags(general_error={}, no_paper={}, fiscal_receipt_open={}, "
                   "nonfiscal_receipt_open={})")
            .format(f.general_error, f.no_paper, f.fiscal_receipt_open, f.nonfiscal_receipt_open);
      });

  py::class_<CallRecord>(m, "CallRecord", "What became of a member call.")
      .def_property_readonly(
          "member", [](const CallRecord& r) { return Str(r.member); }, "The member called.")
      .def_property_readonly("ok", &CallRecord::ok, "The device answered and accepted it.")
      .def_property_readonly(
          "outcome", [](const CallRecord& r) { return OutcomeName(r.outcome); },
          "answered, refused, nak, timeout, port-error, busy, no-connection or bad-argument.")
      .def_property_readonly(
          "reply", [](const CallRecord& r) { return Optional(r.reply); },
          "The reply frame's data, when one came.")
      .def_property_readonly(
          "status",
          [](const CallRecord& r) -> py::object {
            if (!r.status) return py::none();
            return py::make_tuple((*r.status)[0], (*r.status)[1], (*r.status)[2]);
          },
          "The reply frame's three status bytes, when one came.")
      .def_readonly("flags", &CallRecord::flags, "The named bits of status byte 0.")
      .def_property_readonly(
          "error",
          [](const CallRecord& r) -> py::object {
            if (!r.error || !Classes().error) return py::none();
            return py::reinterpret_borrow<py::object>(Classes().error)(r.error->number,
                                                                       Str(r.error->description));
          },
          "The run-time error (nev.Error), when there was one.")
      .def("__repr__", [](const CallRecord& r) {
        return py::str("CallRecord(member={!r}, outcome={!r}, reply={!r}, status={!r})")
            .format(Str(r.member), OutcomeName(r.outcome), Optional(r.reply),
                    r.status ? py::object(py::bytes(reinterpret_cast<const char*>(r.status->data()),
                                                    r.status->size()))
                             : py::object(py::none()));
      });
}

// The binding of a member whose arguments are already converted: f(nev) with the GIL released.
#define NEV_CALL(expr) p.Run([&](NEV& nev) { return expr; })

void BindMembers(py::class_<Printer>& c) {
  using P = Printer;
  const auto arg = [](const char* name) { return py::arg(name); };

  c.def_property(
      "SilentMode", [](P& p) { return p.Use().SilentMode(); },
      [](P& p, py::handle v) { p.Use().SilentMode(Boolean(v, "SilentMode", "SilentMode")); },
      Doc("SilentMode"));
  c.def(
      "StopConnection", [](P& p) { return NEV_CALL(nev.StopConnection()); }, Doc("StopConnection"));
  c.def(
      "InitConnection",
      [](P& p, py::handle Port, py::handle BaudRate, py::handle StopBits, py::handle Parity,
         py::handle ByteSize) {
        const char* m = "InitConnection";
        const int32_t port = Long(Port, m, "Port"), baud = Long(BaudRate, m, "BaudRate");
        const int32_t stop = Long(StopBits, m, "StopBits"), parity = Long(Parity, m, "Parity");
        const int32_t size = Long(ByteSize, m, "ByteSize");
        return NEV_CALL(nev.InitConnection(port, baud, stop, parity, size));
      },
      arg("Port"), arg("BaudRate"), arg("StopBits"), arg("Parity"), arg("ByteSize"),
      Doc("InitConnection"));
  c.def(
      "InitConnection",
      [](P& p, py::handle device, py::handle BaudRate) {
        const std::string path = Text(device, "InitConnection", "device");
        const int32_t baud = Long(BaudRate, "InitConnection", "BaudRate");
        return NEV_CALL(nev.InitConnection(path, baud));
      },
      arg("device"), arg("BaudRate"));
  c.def(
      "PaperFeed",
      [](P& p, py::handle Rows) {
        const int32_t rows = Long(Rows, "PaperFeed", "Rows");
        return NEV_CALL(nev.PaperFeed(rows));
      },
      arg("Rows"), Doc("PaperFeed"));
  c.def(
      "FiscText",
      [](P& p, py::handle text) {
        const std::string t = Text(text, "FiscText", "text");
        return NEV_CALL(nev.FiscText(t));
      },
      arg("text"), Doc("FiscText"));
  c.def(
      "ServText",
      [](P& p, py::handle text) {
        const std::string t = Text(text, "ServText", "text");
        return NEV_CALL(nev.ServText(t));
      },
      arg("text"), Doc("ServText"));
  c.def(
      "SellArt",
      [](P& p, py::handle n, py::handle Q, py::handle P_) {
        const int32_t number = Long(n, "SellArt", "n");
        const double q = Double(Q, "SellArt", "Q"), price = Double(P_, "SellArt", "P");
        return NEV_CALL(nev.SellArt(number, q, price));
      },
      arg("n"), arg("Q"), arg("P"), Doc("SellArt"));
  c.def(
      "SellTaxGroup",
      [](P& p, py::handle Name, py::handle TaxGroup, py::handle Q, py::handle P_) {
        const char* m = "SellTaxGroup";
        const std::string name = Text(Name, m, "Name"), group = Text(TaxGroup, m, "TaxGroup");
        const double q = Double(Q, m, "Q"), price = Double(P_, m, "P");
        return NEV_CALL(nev.SellTaxGroup(name, group, q, price));
      },
      arg("Name"), arg("TaxGroup"), arg("Q"), arg("P"), Doc("SellTaxGroup"));
  c.def(
      "OpenServNote", [](P& p) { return NEV_CALL(nev.OpenServNote()); }, Doc("OpenServNote"));
  c.def(
      "CloseServNote", [](P& p) { return NEV_CALL(nev.CloseServNote()); }, Doc("CloseServNote"));
  c.def(
      "OpenFiscNote",
      [](P& p, py::handle casher, py::handle Pass, py::handle BS) {
        const char* m = "OpenFiscNote";
        const std::string op = Text(casher, m, "casher"), pass = Text(Pass, m, "Pass");
        const std::string bs = Text(BS, m, "BS");
        return NEV_CALL(nev.OpenFiscNote(op, pass, bs));
      },
      arg("casher"), arg("Pass"), arg("BS") = "", Doc("OpenFiscNote"));
  c.def(
      "CloseFiscNote", [](P& p) { return NEV_CALL(nev.CloseFiscNote()); }, Doc("CloseFiscNote"));
  c.def(
      "SellDep",
      [](P& p, py::handle n, py::handle Q, py::handle P_) {
        const int32_t number = Long(n, "SellDep", "n");
        const double q = Double(Q, "SellDep", "Q"), price = Double(P_, "SellDep", "P");
        return NEV_CALL(nev.SellDep(number, q, price));
      },
      arg("n"), arg("Q"), arg("P"), Doc("SellDep"));
  c.def(
      "Addition",
      [](P& p, py::handle Proportional, py::handle V) {
        const bool proportional = Boolean(Proportional, "Addition", "Proportional");
        const std::string v = Text(V, "Addition", "V");
        p.Run([&](NEV& nev) { nev.Addition(proportional, v); });
      },
      arg("Proportional") = true, arg("V") = "", Doc("Addition"));
  c.def(
      "SubTotal",
      [](P& p) {
        double total = 0, a = 0, b = 0, c = 0;
        const bool ok = NEV_CALL(nev.SubTotal(total, a, b, c));
        return py::reinterpret_borrow<py::object>(Classes().subtotal)(ok, total, a, b, c);
      },
      Doc("SubTotal"));
  c.def(
      "VoidAll", [](P& p) { return NEV_CALL(nev.VoidAll()); }, Doc("VoidAll"));
  c.def(
      "AddSum",
      [](P& p, py::handle casher, py::handle Pass, py::handle Sum, py::handle Pay) {
        const char* m = "AddSum";
        const std::string op = Text(casher, m, "casher"), pass = Text(Pass, m, "Pass");
        const double sum = Double(Sum, m, "Sum");
        const int32_t pay = Long(Pay, m, "Pay");
        return NEV_CALL(nev.AddSum(op, pass, sum, pay));
      },
      arg("casher"), arg("Pass"), arg("Sum"), arg("Pay"), Doc("AddSum"));
  c.def(
      "OpenDraw", [](P& p) { return NEV_CALL(nev.OpenDraw()); }, Doc("OpenDraw"));
  c.def(
      "Dublicate", [](P& p) { return NEV_CALL(nev.Dublicate()); }, Doc("Dublicate"));
  c.def(
      "EJournal", [](P& p) { return NEV_CALL(nev.EJournal()); }, Doc("EJournal"));
  c.def(
      "ZDay", [](P& p) { return Str(NEV_CALL(nev.ZDay())); }, Doc("ZDay"));
  c.def(
      "ZArticles",
      [](P& p) -> py::object {
        const std::optional<bool> done = NEV_CALL(nev.ZArticles());
        return done ? py::object(py::bool_(*done)) : py::object(py::none());
      },
      Doc("ZArticles"));
  c.def(
      "ZDep", [](P& p) { return NEV_CALL(nev.ZDep()); }, Doc("ZDep"));
  c.def(
      "ZCasher", [](P& p) { return NEV_CALL(nev.ZCasher()); }, Doc("ZCasher"));
  c.def(
      "Pay",
      [](P& p, py::handle PayType, py::handle Sum) {
        const int32_t type = Long(PayType, "Pay", "PayType");
        const double sum = Double(Sum, "Pay", "Sum");
        return NEV_CALL(nev.Pay(type, sum));
      },
      arg("PayType"), arg("Sum"), Doc("Pay"));
  c.def(
      "GetNumberofNotes", [](P& p) { return Str(NEV_CALL(nev.GetNumberofNotes())); },
      Doc("GetNumberofNotes"));
  c.def(
      "NoteInfo", [](P& p) { return Str(NEV_CALL(nev.NoteInfo())); }, Doc("NoteInfo"));
  c.def(
      "GetStatus", [](P& p) { return NEV_CALL(nev.GetStatus()); }, Doc("GetStatus"));
  c.def(
      "SetStatus", [](P& p) { p.Run([](NEV& nev) { nev.SetStatus(); }); }, Doc("SetStatus"));
  c.def(
      "SendSerNum",
      [](P& p, py::handle Num) {
        std::string num = Text(Num, "SendSerNum", "Num");
        p.Run([&](NEV& nev) { nev.SendSerNum(num); });
        return Str(num);
      },
      arg("Num"), Doc("SendSerNum"));
  c.def(
      "ZDeny", [](P& p) { p.Run([](NEV& nev) { nev.ZDeny(); }); }, Doc("ZDeny"));
  c.def(
      "ZAllow", [](P& p) { p.Run([](NEV& nev) { nev.ZAllow(); }); }, Doc("ZAllow"));
  c.def(
      "GetTaxRates", [](P& p) { return Str(NEV_CALL(nev.GetTaxRates())); }, Doc("GetTaxRates"));
  c.def(
      "GetFirstFMReport",
      [](P& p, py::handle s) {
        const std::string selection = Text(s, "GetFirstFMReport", "s");
        return Str(NEV_CALL(nev.GetFirstFMReport(selection)));
      },
      arg("s"), Doc("GetFirstFMReport"));
  c.def(
      "GetNextFMReport", [](P& p) { return Str(NEV_CALL(nev.GetNextFMReport())); },
      Doc("GetNextFMReport"));
  c.def(
      "ECRInfo", [](P& p) { return Str(NEV_CALL(nev.ECRInfo())); }, Doc("ECRInfo"));
  c.def(
      "GetArticle",
      [](P& p, py::handle x) {
        const int32_t number = Long(x, "GetArticle", "x");
        return Str(NEV_CALL(nev.GetArticle(number)));
      },
      arg("x"), Doc("GetArticle"));
  c.def(
      "GetDepartment",
      [](P& p, py::handle x) {
        const int32_t number = Long(x, "GetDepartment", "x");
        return Str(NEV_CALL(nev.GetDepartment(number)));
      },
      arg("x"), Doc("GetDepartment"));
  c.def(
      "SetArticle",
      [](P& p, py::handle n, py::handle Name, py::handle Price, py::handle TaxG, py::handle Dep,
         py::handle Pay, py::handle F, py::handle BC, py::handle Q) {
        const char* m = "SetArticle";
        const std::string number = Text(n, m, "n"), name = Text(Name, m, "Name");
        const std::string price = Text(Price, m, "Price");
        const int32_t tax = Long(TaxG, m, "TaxG"), dep = Long(Dep, m, "Dep");
        const int32_t pay = Long(Pay, m, "Pay"), f = Long(F, m, "F");
        const std::string bc = Text(BC, m, "BC"), q = Text(Q, m, "Q");
        p.Run([&](NEV& nev) { nev.SetArticle(number, name, price, tax, dep, pay, f, bc, q); });
      },
      arg("n"), arg("Name"), arg("Price"), arg("TaxG"), arg("Dep"), arg("Pay"), arg("F"), arg("BC"),
      arg("Q"), Doc("SetArticle"));
}

#undef NEV_CALL

}  // namespace

void BindPrinter(py::module_& m) {
  BindRecord(m);
  py::class_<Printer> c(m, "NEV",
                        "One connection to a fiscal printer (docs/api.md). Use it on the thread "
                        "that created it; as a context manager it closes the line at the end.",
                        py::custom_type_setup([](PyHeapTypeObject* heap_type) {
                          PyTypeObject* type = &heap_type->ht_type;
                          type->tp_flags |= Py_TPFLAGS_HAVE_GC;
                          type->tp_traverse = Traverse;
                          type->tp_clear = Clear;
                        }));
  c.def(py::init([](py::handle log_base_folder) {
          std::optional<std::string> folder;
          if (!log_base_folder.is_none()) folder = Text(log_base_folder, "NEV", "log_base_folder");
          return std::make_unique<Printer>(folder);
        }),
        py::arg("log_base_folder") = py::none(),
        "NEV(log_base_folder=None): log_base_folder is the existing folder in which the log's "
        "\"Logs\" folder is made (default: beside the module).");
  c.def("__enter__", [](py::object self) {
    self.cast<Printer&>().Use();
    return self;
  });
  c.def("__exit__", [](Printer& p, py::args) {
    NEV& nev = p.Use();
    py::gil_scoped_release released;
    nev.StopConnection();
  });
  c.def_property(
      "MaxWait", [](Printer& p) { return p.Use().MaxWait(); },
      [](Printer& p, py::handle ms) { p.Use().MaxWait(Long(ms, "MaxWait", "ms")); },
      "Ceiling of one command's whole reply wait in ms, SYNs included (default 120000); 0 or "
      "less puts the default back.");
  c.def_property_readonly(
      "last_call", [](Printer& p) { return p.Use().LastCall(); },
      "What became of the last member call (nev.CallRecord).");
  c.def_property("message_sink", &Printer::sink, &Printer::set_sink,
                 "Where this object's message boxes go: a callable sink(text, style, title), or "
                 "None for standard error.");
  BindMembers(c);
}

}  // namespace nev::python
