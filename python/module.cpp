// The extension nev._nev: argument conversions, exceptions and the module's entry point. The
// package nev (nev/__init__.py) defines its Python classes and hands them over with _register.
#include <climits>
#include <string_view>

#include "binding.h"
#include "member_docs.h"
#include "nev/error.h"
#include "nev/version.h"

namespace nev::python {

PythonClasses& Classes() {
  static PythonClasses classes;
  return classes;
}

py::str Str(const std::string& text) {
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

void RaiseError(int32_t number, const std::string& description) {
  PyObject* type = Classes().error ? Classes().error : PyExc_RuntimeError;
  py::object error = py::reinterpret_borrow<py::object>(type)(number, Str(description));
  PyErr_SetObject(type, error.ptr());
  throw py::error_already_set();
}

void RaiseType(const char* member, const char* param, const char* wanted, py::handle value) {
  throw py::type_error(std::string(member) + "(): " + param + " must be " + wanted + ", not " +
                       Py_TYPE(value.ptr())->tp_name);
}

int32_t Long(py::handle value, const char* member, const char* param) {
  PyObject* o = value.ptr();
  // bool is an int to Python, but True as a number is a mistake here; so is a float.
  if (PyBool_Check(o) || !PyIndex_Check(o)) RaiseType(member, param, "an int", value);
  py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(o));
  if (!index) throw py::error_already_set();
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow == 0 && v >= INT32_MIN && v <= INT32_MAX) return static_cast<int32_t>(v);
  RaiseError(kErrOverflow, StandardDescription(kErrOverflow) + ": " + param +
                               (overflow ? std::string() : " = " + std::to_string(v)) +
                               " is outside -2147483648..2147483647");
}

double Double(py::handle value, const char* member, const char* param) {
  PyObject* o = value.ptr();
  if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
  const PyNumberMethods* number = Py_TYPE(o)->tp_as_number;
  const bool numeric =
      PyLong_Check(o) || PyFloat_Check(o) || PyIndex_Check(o) || (number && number->nb_float);
  if (PyBool_Check(o) || !numeric) RaiseType(member, param, "a number (int or float)", value);
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
    PyErr_Clear();
    RaiseError(kErrOverflow,
               StandardDescription(kErrOverflow) + ": " + param + " is too large for a Double");
  }
  return v;
}

std::string Text(py::handle value, const char* member, const char* param) {
  PyObject* o = value.ptr();
  if (!PyUnicode_Check(o)) RaiseType(member, param, "a str", value);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
  if (!utf8) {
    PyErr_Clear();
    RaiseError(kErrInvalidArgument, StandardDescription(kErrInvalidArgument) + ": " + param +
                                        " holds a character that is not Unicode text (a lone "
                                        "surrogate)");
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

bool Boolean(py::handle value, const char* member, const char* param) {
  PyObject* o = value.ptr();
  if (o == Py_True) return true;
  if (o == Py_False) return false;
  // An automation Boolean may come as a number: 0 is False, anything else True.
  if (PyLong_Check(o)) return PyObject_IsTrue(o) == 1;
  RaiseType(member, param, "a bool", value);
}

const char* Doc(const char* member) {
  for (const MemberDoc& d : kMemberDocs) {
    if (d.name == member) return d.doc;
  }
  return "";
}

}  // namespace nev::python

PYBIND11_MODULE(_nev, m) {
  namespace py = pybind11;
  using namespace nev::python;
  // The docstrings start with the Python signature (from docs/api.md); pybind11's own would show
  // the untyped arguments the conversions take.
  py::options options;
  options.disable_function_signatures();

  m.doc() = "The NEV driver's extension; import it as the package nev.";
  m.attr("__version__") = nev::kVersion;
  m.def(
      "_register",
      [](py::handle error, py::handle document_error, py::handle subtotal) {
        for (py::handle h : {error, document_error, subtotal}) h.inc_ref();  // kept for good
        Classes() = {error.ptr(), document_error.ptr(), subtotal.ptr()};
      },
      "_register(Error, DocumentError, SubTotalResult): the package's classes, once at import.");
  BindPrinter(m);
  py::module_ receipt = m.def_submodule("receipt", "Receipts as transactions with a journal.");
  BindReceipt(receipt);
}
