// The module's shared pieces: the classes that nev/__init__.py hands over, the exceptions it
// raises, and the conversions of Python arguments that name a refused parameter.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

namespace nev::python {

namespace py = pybind11;

// The classes defined in Python (nev.Error, nev.DocumentError, nev.SubTotalResult), registered
// when the package is imported and kept for the life of the process.
struct PythonClasses {
  PyObject* error = nullptr;
  PyObject* document_error = nullptr;
  PyObject* subtotal = nullptr;
};
PythonClasses& Classes();

// A text from the driver as a Python str (a byte that is not UTF-8 becomes U+FFFD).
py::str Str(const std::string& text);

// Raises nev.Error(number, description).
[[noreturn]] void RaiseError(int32_t number, const std::string& description);
// Raises TypeError: "Member(): param must be WANTED, not TYPE".
[[noreturn]] void RaiseType(const char* member, const char* param, const char* wanted,
                            py::handle value);

// Arguments as the C++ members take them. A value of the wrong type is TypeError; an int beyond
// 32 bits or a number beyond a double is nev.Error 6 (overflow); a str that cannot be UTF-8 (a
// lone surrogate) is nev.Error 5. Each names the member and the parameter.
int32_t Long(py::handle value, const char* member, const char* param);
double Double(py::handle value, const char* member, const char* param);
std::string Text(py::handle value, const char* member, const char* param);
bool Boolean(py::handle value, const char* member, const char* param);

// The docstring of a member of docs/api.md ("" when it has none).
const char* Doc(const char* member);

void BindPrinter(py::module_& m);
void BindReceipt(py::module_& m);

}  // namespace nev::python
