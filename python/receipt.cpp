// nev.receipt: a receipt document as one transaction with a journal, and the journal's rows. The
// driver's work (journal, line, device) runs with the GIL released.
#include "nev/receipt.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "binding.h"
#include "nev/error.h"
#include "nev/message.h"
#include "nev/nev.h"

namespace nev::python {

namespace {

namespace rc = nev::receipt;

py::object JsonLoads(const std::string& text) {
  return py::module_::import("json").attr("loads")(Str(text));
}

py::object JsonOrNone(const std::optional<std::string>& text) {
  return text ? JsonLoads(*text) : py::object(py::none());
}

[[noreturn]] void RaiseDocument(const std::string& path, const std::string& message) {
  PyObject* type = Classes().document_error ? Classes().document_error : PyExc_ValueError;
  py::object error = py::reinterpret_borrow<py::object>(type)(Str(path), Str(message));
  PyErr_SetObject(type, error.ptr());
  throw py::error_already_set();
}

// A path or port text: not empty and without NUL, which would cut it short.
std::string PathText(py::handle value, const char* param) {
  std::string text = Text(value, "submit", param);
  const char* why = text.empty()                           ? " is empty"
                    : text.find('\0') != std::string::npos ? " holds a NUL character"
                                                           : nullptr;
  if (why)
    RaiseError(kErrInvalidArgument, StandardDescription(kErrInvalidArgument) + ": " + param + why);
  return text;
}

// The document as JSON text: a str as it is, a dict through json.dumps (NaN and infinity are
// not JSON and refused as such).
std::string DocumentText(py::handle document) {
  if (PyUnicode_Check(document.ptr())) return Text(document, "submit", "document");
  if (!PyDict_Check(document.ptr())) {
    RaiseType("submit", "document", "a dict or a JSON text (str)", document);
  }
  py::object text;
  try {
    text = py::module_::import("json").attr("dumps")(document, py::arg("ensure_ascii") = false,
                                                     py::arg("allow_nan") = false);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    RaiseDocument("", py::str(e.value()));
  }
  return Text(text, "submit", "document");
}

rc::Document Parse(const std::string& text) {
  try {
    return rc::ParseDocument(text);
  } catch (const rc::DocumentError& e) {
    // what() is "path: message" (the message alone for the whole document).
    std::string message = e.what();
    if (!e.path().empty() && message.rfind(e.path() + ": ", 0) == 0) {
      message.erase(0, e.path().size() + 2);
    }
    RaiseDocument(e.path(), message);
  }
}

py::dict Submit(py::handle document, py::handle port, py::handle journal, py::handle baud,
                py::handle shared, py::handle log_dir) {
  const rc::Document doc = Parse(DocumentText(document));
  rc::Line line;
  line.device = PyLong_Check(port.ptr()) ? std::to_string(Long(port, "submit", "port"))
                                         : PathText(port, "port");
  line.baud = Long(baud, "submit", "baud");
  const std::string journal_path = PathText(journal, "journal");
  rc::Policy policy;
  policy.shared = Boolean(shared, "submit", "shared");
  std::optional<std::string> log_folder;
  if (!log_dir.is_none()) log_folder = PathText(log_dir, "log_dir");

  std::string result;
  {
    py::gil_scoped_release released;
    rc::Journal j(journal_path);
    // A document already finished is answered from the journal; the line is not even opened.
    const std::optional<rc::JournalEntry> entry = j.Find(doc.id);
    if (entry && entry->state && entry->result) {
      rc::Result recorded = rc::ResultFromJson(*entry->result);
      recorded.from_journal = true;
      result = rc::ResultJson(recorded);
    } else {
      auto printer = log_folder ? std::make_unique<NEV>(*log_folder) : std::make_unique<NEV>();
      // The result tells what happened; the driver's messages are not for a person here.
      printer->SilentMode(true);
      printer->SetMessageSink(std::make_shared<RecordingSink>());
      const rc::Result r = rc::Submit(*printer, line, j, doc, policy);
      printer->StopConnection();
      result = rc::ResultJson(r);
    }
  }
  return JsonLoads(result);
}

py::list JournalRows(py::handle path) {
  const std::string journal_path = PathText(path, "path");
  std::vector<rc::JournalEntry> entries;
  {
    py::gil_scoped_release released;
    entries = rc::Journal(journal_path).List();
  }
  py::list rows;
  for (const rc::JournalEntry& e : entries) {
    py::dict row;
    row["id"] = Str(e.id);
    row["kind"] = Str(e.kind);
    row["state"] = e.state ? py::object(Str(*e.state)) : py::object(py::none());
    row["step"] = Str(e.step);
    row["updated"] = Str(e.updated);
    row["device"] = e.device ? py::object(Str(*e.device)) : py::object(py::none());
    row["document"] = JsonLoads(e.document);
    row["result"] = JsonOrNone(e.result);
    rows.append(row);
  }
  return rows;
}

}  // namespace

void BindReceipt(py::module_& m) {
  m.def("submit", &Submit, py::arg("document"), py::kw_only(), py::arg("port"), py::arg("journal"),
        py::arg("baud") = 9600, py::arg("shared") = false, py::arg("log_dir") = py::none(),
        "submit(document, *, port, journal, baud=9600, shared=False, log_dir=None) -> dict\n\n"
        "Runs the document (a dict, or its JSON text) as one transaction on the printer at port "
        "(a device path or a port number); the result has the fields of nevctl receipt --json. "
        "A document id already finished in the journal is answered from it; nothing is sent.");
  m.def("journal", &JournalRows, py::arg("path"),
        "journal(path) -> list\n\nThe journal's rows as dicts: id, kind, state (None while "
        "unfinished), step, updated, device, document, result.");
}

}  // namespace nev::python
