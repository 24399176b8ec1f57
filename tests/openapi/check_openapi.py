#!/usr/bin/env python3
"""Checks docs/nevd-openapi.json and nevd's answers against it.

  check_openapi.py DOCUMENT [--routes SERVICE_CPP] [--record FILE] [--require-records]

1. The document is valid OpenAPI 3.1 (the official meta-schema, vendored beside this file), every
   schema in it is valid JSON Schema 2020-12, and every $ref resolves.
2. With --routes: every route of nevd's route table under the API's base is documented with its
   method, and every documented operation is a route.
3. With --record: every answer in FILE (one JSON object per line: method, path, status, headers,
   body, request; written by the nevd API tests) is one the document describes: its path and
   method, its status, the headers it declares required, and its body against the schema of its
   content type. A request the service accepted (2xx) must fit the document's request schema.
   Every operation of the document must have been answered at least once.
Exits 1 naming each answer that does not fit.
"""
import json
import os
import re
import sys

from jsonschema import Draft202012Validator, RefResolver

HERE = os.path.dirname(os.path.abspath(__file__))
METHODS = ("get", "put", "post", "delete", "patch", "options", "head")


def load_document(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def check_document(doc):
    """Problems with the document itself, as texts."""
    problems = []
    with open(os.path.join(HERE, "oas-3.1-schema.json"), encoding="utf-8") as f:
        meta = json.load(f)
    for e in Draft202012Validator(meta).iter_errors(doc):
        problems.append("not OpenAPI 3.1 at /%s: %s" % ("/".join(map(str, e.absolute_path)),
                                                        e.message[:300]))
    for name, schema in doc.get("components", {}).get("schemas", {}).items():
        for e in Draft202012Validator(Draft202012Validator.META_SCHEMA).iter_errors(schema):
            problems.append("components/schemas/%s is not JSON Schema 2020-12: %s" % (name, e.message))
    resolver = RefResolver.from_schema(doc)

    def walk(node, where):
        if isinstance(node, dict):
            target = node.get("$ref")
            if isinstance(target, str):
                try:
                    resolver.resolve(target)
                except Exception:  # noqa: BLE001 - any failure to resolve is the finding
                    problems.append("%s: $ref %s does not resolve" % (where, target))
            for k, v in node.items():
                walk(v, where + "/" + k)
        elif isinstance(node, list):
            for i, v in enumerate(node):
                walk(v, "%s/%d" % (where, i))

    walk(doc, "")
    return problems


def full_path(doc, template):
    """The path as served: the path item's own server (e.g. "/" for /metrics), else the document's."""
    servers = doc["paths"][template].get("servers") or doc.get("servers") or [{"url": ""}]
    return servers[0]["url"].rstrip("/") + template


class Checker:
    def __init__(self, doc):
        self.doc = doc
        self.resolver = RefResolver.from_schema(doc)
        base = doc.get("servers", [{"url": ""}])[0]["url"].rstrip("/")
        self.routes = []  # (regex, template)
        for template in doc["paths"]:
            pattern = re.sub(r"\\\{[^}]+\\\}", "[^/]+", re.escape(full_path(doc, template)))
            self.routes.append((re.compile("^" + pattern + "$"), template))
        self.base = base
        self.seen = set()

    def deref(self, node):
        while isinstance(node, dict) and "$ref" in node:
            node = self.resolver.resolve(node["$ref"])[1]
        return node

    def errors(self, schema, value):
        v = Draft202012Validator(schema, resolver=self.resolver)
        return ["%s at /%s" % (e.message[:300], "/".join(map(str, e.absolute_path)))
                for e in v.iter_errors(value)]

    def check(self, rec):
        """Problems with one recorded answer, as texts (None: not an API answer)."""
        method = rec["method"].lower()
        path = rec["path"].split("?", 1)[0]
        if method == "options" or not path.startswith(self.base + "/"):
            return None  # CORS preflights and the web page are not the API
        template = next((t for rx, t in self.routes if rx.match(path)), None)
        if template is None:
            return ["path not in the document"]
        item = self.doc["paths"][template]
        if method not in item:
            return ["%s is not documented for %s" % (method.upper(), template)]
        op = item[method]
        status = str(rec["status"])
        self.seen.add((method, template))
        responses = op.get("responses", {})
        response = responses.get(status) or responses.get(status[0] + "XX") or responses.get("default")
        if response is None:
            return ["status %s is not documented for %s %s" % (status, method.upper(), template)]
        response = self.deref(response)
        problems = []
        headers = {k.lower(): v for k, v in rec.get("headers", {}).items()}
        for name, declared in response.get("headers", {}).items():
            declared = self.deref(declared)
            value = headers.get(name.lower())
            if value is None:
                if declared.get("required"):
                    problems.append("header %s missing" % name)
                continue
            problems += ["header %s: %s" % (name, e) for e in self.errors(declared.get("schema", {}), value)]
        content = response.get("content", {})
        body = rec.get("body", "")
        if not content:
            if body.strip():
                problems.append("a body where the document declares none")
            return problems
        ctype = headers.get("content-type", "").split(";")[0].strip()
        media = content.get(ctype)
        if media is None:
            return problems + ["content type %r not documented (%s)" % (ctype, ", ".join(content))]
        schema = media.get("schema", {})
        if ctype == "application/json":
            try:
                values = [json.loads(body)]
            except ValueError:
                return problems + ["the body is not JSON"]
        elif ctype == "application/x-ndjson":
            try:
                values = [json.loads(line) for line in body.splitlines() if line.strip()]
            except ValueError:
                return problems + ["a line of the stream is not JSON"]
        else:
            values = [body]
        for value in values:
            problems += ["body: " + e for e in self.errors(schema, value)]
        # Whatever the document says, an error answer carries an error object.
        if int(status) >= 400 and ctype == "application/json":
            if not (isinstance(values[0], dict) and isinstance(values[0].get("error"), dict)):
                problems.append("an error answer without an error object")
        # What the service accepted must be what the document allows a client to send.
        request = rec.get("request")
        if status.startswith("2") and "requestBody" in op:
            rb = self.deref(op["requestBody"])
            if request:
                try:
                    sent = json.loads(request)
                except ValueError:
                    sent = None
                rschema = rb["content"]["application/json"]["schema"]
                problems += ["request: " + e for e in self.errors(rschema, sent)]
            elif rb.get("required"):
                problems.append("accepted without the body the document requires")
        return problems

    def unanswered(self):
        return sorted("%s %s" % (m.upper(), t) for t, item in self.doc["paths"].items()
                      for m in item if m in METHODS and (m, t) not in self.seen)


def check_routes(doc, source):
    """Routes of nevd's table ({"GET", "/api/v1/...", ...}) against the document's operations."""
    with open(source, encoding="utf-8") as f:
        table = re.findall(r'\{"([A-Z]+)", "(/[^"]*)", &Service::', f.read())
    base = doc.get("servers", [{"url": ""}])[0]["url"].rstrip("/")
    # Every route but the web page's files ("/", "/app.js", ...) is part of the API.
    served = {(method.lower(), re.sub(r"\{[^}]+\}", "{}", pattern)) for method, pattern in table
              if pattern.startswith(base + "/")
              or (pattern != "/" and not re.search(r"/[^/]+\.[a-z]+$", pattern))}
    documented = {(m, re.sub(r"\{[^}]+\}", "{}", full_path(doc, t)))
                  for t, item in doc["paths"].items() for m in item if m in METHODS}
    problems = ["route %s %s is not in the document" % (m.upper(), t)
                for m, t in sorted(served - documented)]
    problems += ["%s %s is documented but not routed" % (m.upper(), t)
                 for m, t in sorted(documented - served)]
    if not table:
        problems.append("no routes found in %s" % source)
    return problems


def main(argv):
    args = list(argv[1:])
    require = "--require-records" in args
    if require:
        args.remove("--require-records")

    def option(name):
        if name not in args:
            return None
        i = args.index(name)
        value = args[i + 1]
        del args[i:i + 2]
        return value

    record = option("--record")
    routes = option("--routes")
    if len(args) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    doc = load_document(args[0])
    problems = check_document(doc)
    if routes:
        problems += check_routes(doc, routes)
    checked = 0
    if record:
        checker = Checker(doc)
        lines = []
        if os.path.exists(record):
            with open(record, encoding="utf-8", errors="replace") as f:
                lines = [line for line in f if line.strip()]
        if require and not lines:
            problems.append("no answers recorded in %s (run the nevd API tests first)" % record)
        for n, line in enumerate(lines, 1):
            rec = json.loads(line)
            found = checker.check(rec)
            if found is None:
                continue
            checked += 1
            for p in found:
                problems.append("%s %s -> %s (answer %d): %s" % (
                    rec["method"], rec["path"], rec["status"], n, p))
        # A subset of the tests (ctest -R) answers fewer: noted, not a failure.
        for op in checker.unanswered() if lines else []:
            print("openapi: not answered in this run: " + op)
    for p in problems:
        print("openapi: " + p, file=sys.stderr)
    print("openapi: document %s, %d answers checked, %d problems" % (
        "valid" if not problems else "checked", checked, len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
