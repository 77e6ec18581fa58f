#!/usr/bin/env python3
"""Compares what each shared library exports with what its headers declare.

    symbols_test.py NM CC INCLUDE_DIR [LIBRARY=HEADER,...]... [--plugin PLUGIN=HEADER,...=DEFINITION]

A C library must export exactly the functions and variables its C headers
declare. The plug-in must export exactly what its headers mark
PHONEBOOK_EXPORT, among them every name the host looks up in it: the entry
points and the handlers its definition binds. Exits 1 with the extra and
missing names of each library.
"""
import json
import re
import subprocess
import sys

# Defined by the linker or a sanitizer's instrumentation, not by the sources.
IGNORED = re.compile(r"^(_init|_fini|_edata|_end|__bss_start|__odr_asan[._].*|__(a|ub)san_.*|__sancov.*)$")
ENTRY_POINTS = {"zeb_plugin_initialize", "zeb_plugin_cleanup"}
HANDLER_KEYS = ("read-handler", "write-handler", "validator", "add-handler", "delete-handler")


def exported(nm, library):
    listing = subprocess.run([nm, "-D", "--defined-only", library], check=True,
                             capture_output=True, text=True).stdout
    names = {line.split()[2].split("@")[0] for line in listing.splitlines() if len(line.split()) >= 3}
    return {name for name in names if not IGNORED.match(name)}


# __attribute__((...)) with one level of parentheses inside.
ATTRIBUTE = re.compile(r"__attribute__\s*\(\((?:[^()]|\([^()]*\))*\)\)")


def top_level_statements(code):
    """The statements outside braces, with brace contents left out."""
    statements, current, depth = [], [], 0
    for char in code:
        depth += {"{": 1, "}": -1}.get(char, 0)
        if depth == 0 and char == ";":
            statements.append("".join(current).strip())
            current = []
        elif depth == 0 and char not in "{}":
            current.append(char)
    return statements


def declared_in_c_header(cc, include_dir, header):
    """Functions and variables that a C header itself declares."""
    expanded = subprocess.run([cc, "-E", "-I", include_dir, header], check=True,
                              capture_output=True, text=True).stdout
    own, code = False, []
    for line in expanded.splitlines():
        marker = re.match(r'^# \d+ "([^"]*)"', line)
        if marker:
            own = marker.group(1).endswith("/" + header.split("/")[-1])
        elif own and not line.startswith("#"):
            code.append(line)
    names = set()
    for statement in top_level_statements(ATTRIBUTE.sub("", "\n".join(code))):
        words = statement.split()
        if not words or words[0] in ("typedef", "static"):
            continue
        pointer = re.match(r"^[^(]*\(\s*\*\s*(\w+)\s*\)", statement)
        function = re.match(r"^[^(]*?(\w+)\s*\(", statement)
        if pointer:
            names.add(pointer.group(1))
        elif function:
            names.add(function.group(1))
        elif words[0] == "extern":
            names.add(re.findall(r"\w+", statement.split("[")[0])[-1])
    return names


def declared_by_plugin_headers(headers):
    names = set()
    for header in headers:
        # Without the preprocessor's lines, where the macros are defined.
        text = re.sub(r"^#(.*\\\n)*.*$", "", open(header, encoding="utf-8").read(), flags=re.M)
        names |= set(re.findall(r"PHONEBOOK_EXPORT\s[^;{]*?(\w+)\s*\(", text))
        names |= set(re.findall(r"^PHONEBOOK_FUNCTION_HANDLER\((\w+)\)", text, re.M))
    return names


def bound_by_definition(path):
    """The names the host looks up in the plug-in that `path` defines."""
    names = set(ENTRY_POINTS)

    def walk(node):
        if isinstance(node, dict):
            for key in HANDLER_KEYS:
                if isinstance(node.get(key), str):
                    names.add(node[key])
            for function in node.get("functions", []):
                names.add(function.get("handler", "__" + function["name"]))
            for value in node.values():
                walk(value)
        elif isinstance(node, list):
            for value in node:
                walk(value)

    walk(json.load(open(path, encoding="utf-8")))
    return names


def main(argv):
    nm, cc, include_dir = argv[1:4]
    failures = []
    rest = argv[4:]
    while rest:
        plugin = rest[0] == "--plugin"
        if plugin:
            rest = rest[1:]
        library, _, headers = rest[0].partition("=")
        rest = rest[1:]
        names = exported(nm, library)
        if plugin:
            headers, _, definition = headers.rpartition("=")
            declared = declared_by_plugin_headers(headers.split(","))
            unexported = bound_by_definition(definition) - names
            if unexported:
                failures.append(f"{library}: the host looks up, not exported: {sorted(unexported)}")
        else:
            declared = set()
            for header in headers.split(","):
                declared |= declared_in_c_header(cc, include_dir, header)
        extra, missing = names - declared, declared - names
        if extra:
            failures.append(f"{library}: exported, not declared: {sorted(extra)}")
        if missing:
            failures.append(f"{library}: declared, not exported: {sorted(missing)}")
        print(f"{library}: {len(names)} exported")
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
