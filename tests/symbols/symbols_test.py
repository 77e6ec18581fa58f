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
HANDLER_KEYS = ("read-handler", "write-handler", "validator", "add-handler", "delete-handler")
# __attribute__((...)) with one level of parentheses inside.
ATTRIBUTE = re.compile(r"__attribute__\s*\(\((?:[^()]|\([^()]*\))*\)\)")


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def exported(nm, library):
    names = {line.split()[2].split("@")[0] for line in run(nm, "-D", "--defined-only", library).splitlines()
             if len(line.split()) >= 3}
    return {name for name in names if not IGNORED.match(name)}


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
    own, code = False, []
    for line in run(cc, "-E", "-I", include_dir, header).splitlines():
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
        if pointer or function:
            names.add((pointer or function).group(1))
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


def bound_by_definition(node):
    """The names the host looks up in the plug-in that the definition `node` defines."""
    names = set()
    if isinstance(node, dict):
        names |= {node[key] for key in HANDLER_KEYS if isinstance(node.get(key), str)}
        names |= {f.get("handler", "__" + f["name"]) for f in node.get("functions", [])}
        node = list(node.values())
    for value in node if isinstance(node, list) else []:
        names |= bound_by_definition(value)
    return names


def main(argv):
    nm, cc, include_dir = argv[1:4]
    failures = []
    rest = argv[4:]
    while rest:
        plugin = rest[0] == "--plugin"
        library, _, headers = rest[1 if plugin else 0].partition("=")
        rest = rest[2 if plugin else 1:]
        names = exported(nm, library)
        if plugin:
            headers, _, definition = headers.rpartition("=")
            declared = declared_by_plugin_headers(headers.split(","))
            looked_up = {"zeb_plugin_initialize", "zeb_plugin_cleanup"}
            looked_up |= bound_by_definition(json.load(open(definition, encoding="utf-8")))
            if looked_up - names:
                failures.append(f"{library}: the host looks up, not exported: {sorted(looked_up - names)}")
        else:
            declared = set().union(*(declared_in_c_header(cc, include_dir, h) for h in headers.split(",")))
        if names - declared:
            failures.append(f"{library}: exported, not declared: {sorted(names - declared)}")
        if declared - names:
            failures.append(f"{library}: declared, not exported: {sorted(declared - names)}")
        print(f"{library}: {len(names)} exported")
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
