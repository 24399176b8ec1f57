"""The typing stub: every member of docs/api.md with its docstring, and nothing the module lacks."""
import ast
import os
import re

import nev

API = os.path.join(os.path.dirname(__file__), "..", "..", "docs", "api.md")


def stub_classes():
    path = os.path.join(os.path.dirname(nev.__file__), "__init__.pyi")
    tree = ast.parse(open(path, encoding="utf-8").read())
    return {c.name: c for c in tree.body if isinstance(c, ast.ClassDef)}


def test_the_stub_names_every_member_and_the_module_has_them():
    members = re.findall(r"^### (\w+)$", open(API, encoding="utf-8").read(), re.M)
    assert len(members) == 39  # SilentMode's get and put make the 40 of the interface
    methods = {}
    for node in stub_classes()["NEV"].body:
        if isinstance(node, ast.FunctionDef):
            methods.setdefault(node.name, ast.get_docstring(node))
    for member in members:
        assert methods.get(member), f"{member} has no docstring in the stub"
        assert getattr(nev.NEV, member).__doc__, f"{member} has no docstring in the module"
    public = {name for name in dir(nev.NEV) if not name.startswith("_")}
    assert public == {name for name in methods if not name.startswith("_")}
    for name, node in stub_classes().items():
        if name in ("CallRecord", "StatusFlags"):
            fields = {n.name for n in node.body if isinstance(n, ast.FunctionDef)}
            assert fields == {n for n in dir(getattr(nev, name)) if not n.startswith("_")}
