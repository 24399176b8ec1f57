#!/usr/bin/env python3
"""Writes the typing stub of the module nev and the C++ header of its docstrings from docs/api.md.

Every member section of the API document gives its automation signature and its text; the
signature becomes a Python one (Long, Integer and Byte are int, Double float, String str, Boolean
bool, Variant Optional[bool]; by-reference outputs are returned), the text its docstring. The
stub is the template with its @MEMBERS@ line replaced by the members.

    make_stub.py API_MD STUB_TEMPLATE STUB_OUT DOCS_HEADER_OUT
"""
import re
import sys

TYPES = {"Long": "int", "Integer": "int", "Byte": "int", "Double": "float", "String": "str",
         "Boolean": "bool", "Variant": "Optional[bool]"}
# Members whose by-reference parameters come back as the result.
BY_REF_RESULTS = {"SubTotal": "SubTotalResult", "SendSerNum": "str"}
# The native overload of InitConnection (a device path), beside the published one.
EXTRA_OVERLOADS = {"InitConnection": "(self, device: str, BaudRate: int) -> bool"}

SIGNATURE = re.compile(r"^`(function|procedure|property get|property put) (\w+)\((.*)\)"
                       r"(?: As (\w+))?` DISPID")
PARAM = re.compile(r"^(Optional )?(ByRef )?(\w+) As (\w+)(?: = (.+))?$")


def python_default(value, vb_type):
    if vb_type == "Boolean":
        return {"True": "True", "False": "False"}[value]
    return value  # texts are written as "..." already


def parse(api_md):
    """The member sections: name, kind, params, result and the text of each, in document order."""
    members = []
    current = None
    in_code = False
    for line in open(api_md, encoding="utf-8").read().split("\n"):
        if line.startswith("### "):
            current = {"name": line[4:].strip(), "kind": None, "params": [], "result": None,
                       "text": []}
            members.append(current)
            in_code = False
            continue
        if current is None:
            continue
        if line.startswith("```"):
            in_code = not in_code
            continue
        match = SIGNATURE.match(line)
        if match:
            kind, name, params, result = match.groups()
            if name != current["name"]:
                sys.exit(f"make_stub: section {current['name']} describes {name}")
            if kind == "property put":
                current["kind"] = "property"
                continue
            current["kind"] = kind
            current["result"] = result
            for p in filter(None, (s.strip() for s in params.split(","))):
                pm = PARAM.match(p)
                if not pm:
                    sys.exit(f"make_stub: {name}: cannot read parameter '{p}'")
                optional, by_ref, pname, ptype, default = pm.groups()
                current["params"].append({"name": pname, "type": ptype, "by_ref": bool(by_ref),
                                          "default": default if optional else None})
            continue
        if in_code or line.startswith("Example:"):
            continue
        current["text"].append(line)
    return members


def signature(m):
    """The Python signature of a method: (self, ...) -> result."""
    name = m["name"]
    args = ["self"]
    for p in m["params"]:
        # A by-reference Double is an output only; a by-reference String goes in and comes back.
        if p["by_ref"] and p["type"] != "String":
            continue
        arg = f"{p['name']}: {TYPES[p['type']]}"
        if p["default"] is not None:
            arg += f" = {python_default(p['default'], p['type'])}"
        args.append(arg)
    if name in BY_REF_RESULTS:
        result = BY_REF_RESULTS[name]
    elif m["kind"] == "procedure":
        result = "None"
    else:
        result = TYPES[m["result"]]
    return f"({', '.join(args)}) -> {result}"


def docstring(m):
    lines = list(m["text"])
    while lines and not lines[0].strip():
        lines.pop(0)
    while lines and not lines[-1].strip():
        lines.pop()
    text = "\n".join(lines)
    return re.sub(r"\n{3,}", "\n\n", text)


def stub_member(m):
    doc = docstring(m).replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    indented = "\n".join(("        " + line) if line else "" for line in doc.split("\n"))
    body = '        """' + indented.lstrip() + '"""'
    name = m["name"]
    if m["kind"] == "property":
        ptype = TYPES[m["result"]]
        return (f"    @property\n    def {name}(self) -> {ptype}:\n{body}\n"
                f"    @{name}.setter\n    def {name}(self, value: {ptype}) -> None: ...\n")
    if name in EXTRA_OVERLOADS:
        return (f"    @overload\n    def {name}{signature(m)}:\n{body}\n"
                f"    @overload\n    def {name}{EXTRA_OVERLOADS[name]}: ...\n")
    return f"    def {name}{signature(m)}:\n{body}\n"


def header_entry(m):
    if m["kind"] == "property":
        head = f"{m['name']}: {TYPES[m['result']]} (property)"
    else:
        head = m["name"] + signature(m).replace("(self, ", "(").replace("(self)", "()")
        if m["name"] in EXTRA_OVERLOADS:
            extra = EXTRA_OVERLOADS[m["name"]].replace("(self, ", "(")
            head += "\n" + m["name"] + extra
    text = head + "\n\n" + docstring(m)
    if ")nevdoc\"" in text:
        sys.exit("make_stub: a docstring holds the raw string's end")
    return f'    {{"{m["name"]}", R"nevdoc({text})nevdoc"}},'


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    api_md, template, stub_out, header_out = sys.argv[1:]
    members = parse(api_md)
    if not members or any(m["kind"] is None for m in members):
        sys.exit("make_stub: a member section without a signature in " + api_md)
    stub = open(template, encoding="utf-8").read()
    if stub.count("@MEMBERS@\n") != 1:
        sys.exit("make_stub: the template needs one @MEMBERS@ line")
    stub = stub.replace("@MEMBERS@\n", "\n".join(stub_member(m) for m in members))
    with open(stub_out, "w", encoding="utf-8") as out:
        out.write(stub)
    with open(header_out, "w", encoding="utf-8") as out:
        out.write("// Generated by python/make_stub.py from docs/api.md: the members' docstrings.\n"
                  "#pragma once\n\n#include <string_view>\n\nnamespace nev::python {\n\n"
                  "struct MemberDoc {\n  std::string_view name;\n  const char* doc;\n};\n\n"
                  "inline constexpr MemberDoc kMemberDocs[] = {\n")
        out.write("\n".join(header_entry(m) for m in members))
        out.write("\n};\n\n}  // namespace nev::python\n")


if __name__ == "__main__":
    main()
