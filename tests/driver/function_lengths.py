#!/usr/bin/env python3
"""Fails when a function in the driver's sources runs past the line limit.

Long functions in the driver mixed product branches, transfer kinds and
logging until no one could follow them; they were split into named steps,
and this check keeps them that way. Usage:

    function_lengths.py [--limit N] [--self-test] DIR...

A function's length is counted from the line of its opening brace to the
line of its closing one. The scan knows C++ only as far as braces go: it
skips comments, string and character literals and preprocessor lines, and
takes a brace block as a function when what precedes it reads like a
signature (parentheses, not an initializer, not a namespace or type).
"""
import os
import re
import sys

DEFAULT_LIMIT = 100
SOURCE_SUFFIXES = (".cpp", ".h")
TYPE_HEAD = re.compile(r"^(template\s*<.*>\s*)?(namespace|struct|class|union|enum)\b|^extern\s*\"C")
OPERATOR = re.compile(r"\boperator\s*(\(\)|[^\s(]+)")


def strip_code(text):
    """The text with comments, literals and preprocessor lines blanked (line
    breaks kept, so line numbers stay)."""
    out = []
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c == "#":
            # A preprocessor line, with its continuations.
            while i < n and text[i] != "\n":
                if text[i] == "\\" and i + 1 < n and text[i + 1] == "\n":
                    out.append("\n")
                    i += 2
                    continue
                i += 1
            continue
        if c == "\n":
            line_start = True
            out.append(c)
            i += 1
            continue
        if c in " \t":
            out.append(c)
            i += 1
            continue
        line_start = False
        if text.startswith("//", i):
            while i < n and text[i] != "\n":
                i += 1
            continue
        if text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append("\n" * text.count("\n", i, end))
            i = end
            continue
        raw = re.match(r'R"([^(\s]*)\(', text[i:i + 20])
        if raw and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            close = ")" + raw.group(1) + '"'
            end = text.find(close, i + raw.end())
            end = n if end < 0 else end + len(close)
            out.append('""' + "\n" * text.count("\n", i, end))
            i = end
            continue
        if c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(c + c)
            i = j + 1
            continue
        out.append(c)
        i += 1
    return "".join(out)


def is_function_head(head):
    head = " ".join(head.split())
    head = re.sub(r"^(public|private|protected)\s*:\s*", "", head)
    if not head or TYPE_HEAD.search(head):
        return False
    head = OPERATOR.sub("operator", head)
    paren = head.find("(")
    if paren < 0:
        return False
    equals = head.find("=")
    # An initializer ("x = {", "k = [] (...) {") has its '=' before the
    # first parenthesis; a signature has none there.
    return equals < 0 or equals > paren


def long_functions(path, limit):
    with open(path, encoding="utf-8", errors="replace") as f:
        code = strip_code(f.read())
    found = []
    # Each open block: (kind, line of its brace, signature text).
    stack = []
    head = []
    line = 1
    for c in code:
        if c == "\n":
            line += 1
            head.append(" ")
            continue
        in_code = any(kind in ("function", "data") for kind, _, _ in stack)
        if c == "{":
            if in_code:
                kind = "data"
            else:
                text = "".join(head).strip()
                if is_function_head(text):
                    kind = "function"
                elif TYPE_HEAD.search(re.sub(r"^(public|private|protected)\s*:\s*", "",
                                             " ".join(text.split()))):
                    kind = "scope"
                else:
                    kind = "data"
            stack.append((kind, line, "".join(head).strip()))
            head = []
        elif c == "}":
            if stack:
                kind, start, text = stack.pop()
                in_outer_code = any(k in ("function", "data") for k, _, _ in stack)
                if kind == "function" and not in_outer_code and line - start + 1 > limit:
                    found.append((start, line - start + 1, " ".join(text.split())))
            head = []
        elif c == ";":
            head = []
        else:
            head.append(c)
    return found


def scan(dirs, limit):
    failures = []
    for top in dirs:
        for root, _, files in os.walk(top):
            for name in sorted(files):
                if name.endswith(SOURCE_SUFFIXES):
                    path = os.path.join(root, name)
                    for start, length, text in long_functions(path, limit):
                        failures.append(f"{path}:{start}: {length} lines: {text[-120:]}")
    return failures


def self_test():
    """The scan on small sources whose answer is known."""
    import tempfile

    body = "\n".join(["    x();"] * 8)
    cases = [
        ("void f() {\n%s\n}\n" % body, 1),
        ("namespace a {\nint g(int v) {\n%s\n}\n}\n" % body, 1),
        ("struct S {\n    int m() const {\n%s\n    }\n};\n" % body, 1),
        ("const int k[] = {\n%s\n};\n" % "\n".join(["    1,"] * 12), 0),
        ("auto l = [](int v) {\n%s\n};\n" % body, 0),
        ("// void c() {\n%s\nconst char* s = \"{\";\n" % body.replace("x();", "// {"), 0),
        ("bool operator==(const S& a, const S& b) {\n%s\n}\n" % body, 1),
        ("void short_one() {\n    x();\n}\n", 0),
    ]
    ok = True
    with tempfile.TemporaryDirectory() as d:
        for i, (src, want) in enumerate(cases):
            p = os.path.join(d, f"case{i}.cpp")
            with open(p, "w") as f:
                f.write(src)
            got = len(long_functions(p, 5))
            if got != want:
                print(f"self-test case {i}: {got} long functions, expected {want}")
                ok = False
    return ok


def main(argv):
    limit = DEFAULT_LIMIT
    args = argv[1:]
    if args and args[0] == "--limit":
        limit = int(args[1])
        args = args[2:]
    if args and args[0] == "--self-test":
        if not self_test():
            return 1
        args = args[1:]
    if not args:
        print(__doc__)
        return 2
    failures = scan(args, limit)
    for f in failures:
        print(f)
    if failures:
        print(f"{len(failures)} function(s) over {limit} lines: split them into named steps")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
