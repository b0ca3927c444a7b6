#!/usr/bin/env python3
"""Lists every user-visible text the program passes through Qt's translation.

Reads the C++ sources and prints one JSON object: {"keys": [...], "dynamic": [...]}.
A key is the English source text of tr(), QCoreApplication::translate(),
QT_TR_NOOP(), QT_TRANSLATE_NOOP() or QT_TRANSLATE_NOOP3(), with adjacent literals
joined; a text given with a disambiguation is listed as "<text>|<disambiguation>",
the key under which the tables translate that use of the text.
"dynamic" lists calls of tr()/translate() whose text is not a literal, so a
reviewer can check that the texts reaching them are marked with QT_TR_NOOP.
"""
import argparse
import json
import os
import re
import sys

SOURCE_FOLDERS = ("app", "integration", "ui", "program")
SUFFIXES = (".cpp", ".h")

IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def decode_escape(body, i):
    """Decodes one escape after a backslash at body[i]; returns (bytes, next index)."""
    c = body[i]
    simple = {"n": b"\n", "t": b"\t", "r": b"\r", "\\": b"\\", '"': b'"', "'": b"'",
              "a": b"\a", "b": b"\b", "f": b"\f", "v": b"\v", "?": b"?"}
    if c in simple:
        return simple[c], i + 1
    if c == "x":
        j = i + 1
        while j < len(body) and body[j] in "0123456789abcdefABCDEF":
            j += 1
        return bytes([int(body[i + 1:j], 16) & 0xFF]), j
    if c in "01234567":
        j = i
        while j < len(body) and j < i + 3 and body[j] in "01234567":
            j += 1
        return bytes([int(body[i:j], 8) & 0xFF]), j
    if c in "uU":
        n = 4 if c == "u" else 8
        return chr(int(body[i + 1:i + 1 + n], 16)).encode("utf-8"), i + 1 + n
    return c.encode("utf-8"), i + 1


def at_line_start(text, i):
    start = text.rfind("\n", 0, i) + 1
    return text[start:i].strip(" \t") == ""


def tokenize(text):
    """Yields (kind, value, line) with kind in ident, string, punct; drops comments."""
    i, line, n = 0, 1, len(text)
    while i < n:
        c = text[i]
        if c == "\n":
            line += 1
            i += 1
        elif c.isspace():
            i += 1
        elif text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            line += text.count("\n", i, j)
            i = j
        elif c == "#" and at_line_start(text, i):
            # Preprocessor line (with continuations): skip, so #include <...> is not read.
            j = i
            while True:
                k = text.find("\n", j)
                if k < 0:
                    j = n
                    break
                if text[k - 1] == "\\":
                    j = k + 1
                    continue
                j = k
                break
            line += text.count("\n", i, j)
            i = j
        else:
            m = IDENT.match(text, i)
            if m:
                word = m.group(0)
                j = m.end()
                if j < n and text[j] == '"' and word in ("R", "u8R", "LR", "uR", "UR"):
                    d_end = text.index("(", j + 1)
                    delim = text[j + 1:d_end]
                    close = ")" + delim + '"'
                    k = text.index(close, d_end + 1)
                    yield ("string", text[d_end + 1:k].encode("utf-8"), line)
                    line += text.count("\n", i, k)
                    i = k + len(close)
                    continue
                if j < n and text[j] in "\"'" and word in ("u8", "u", "U", "L"):
                    i = j
                    continue
                yield ("ident", word, line)
                i = j
            elif c == '"':
                j = i + 1
                out = bytearray()
                while text[j] != '"':
                    if text[j] == "\\":
                        b, j = decode_escape(text, j + 1)
                        out += b
                    else:
                        out += text[j].encode("utf-8")
                        j += 1
                yield ("string", bytes(out), line)
                i = j + 1
            elif c == "'":
                j = i + 1
                while text[j] != "'":
                    j += 2 if text[j] == "\\" else 1
                i = j + 1
            elif c.isdigit():
                m = re.compile(r"[0-9][0-9a-zA-Z_.']*").match(text, i)
                i = m.end()
            else:
                yield ("punct", c, line)
                i += 1


def literal_run(tokens, k):
    """Joins adjacent string literals from tokens[k]; returns (bytes or None, next k)."""
    if k >= len(tokens) or tokens[k][0] != "string":
        return None, k
    out = b""
    while k < len(tokens) and tokens[k][0] == "string":
        out += tokens[k][1]
        k += 1
    return out, k


def with_disambiguation(tokens, text, j):
    """The key of a text whose literal ends before tokens[j]: "<text>|<disambiguation>"
    when a literal disambiguation follows, as StringsTranslator's tableKey writes it."""
    if j < len(tokens) and tokens[j][1] == ",":
        disambiguation, _ = literal_run(tokens, j + 1)
        if disambiguation:
            return text + b"|" + disambiguation
    return text


def extract(root, full, keys, dynamic):
    path = os.path.relpath(full, root)
    with open(full, encoding="utf-8") as f:
        tokens = list(tokenize(f.read()))
    for k, (kind, value, line) in enumerate(tokens):
        if kind != "ident" or k + 1 >= len(tokens) or tokens[k + 1][1] != "(":
            continue
        if value in ("tr", "QT_TR_NOOP", "QT_TR_N_NOOP"):
            text, j = literal_run(tokens, k + 2)
            if text is None:
                # A declaration such as "QString tr(const char* text)" is no call.
                if tokens[k + 2][1] not in ("const", "char"):
                    dynamic.append(f"{path}:{line}")
                continue
            if value == "tr":
                text = with_disambiguation(tokens, text, j)
            keys.setdefault(text.decode("utf-8"), f"{path}:{line}")
        elif value in ("translate", "QT_TRANSLATE_NOOP", "QT_TRANSLATE_NOOP3"):
            context, j = literal_run(tokens, k + 2)
            if context is None:
                if tokens[k + 2][1] not in ("const", "char"):
                    dynamic.append(f"{path}:{line}")
                continue
            if j >= len(tokens) or tokens[j][1] != ",":
                continue
            text, j = literal_run(tokens, j + 1)
            if text is None:
                dynamic.append(f"{path}:{line}")
                continue
            if value != "QT_TRANSLATE_NOOP":
                text = with_disambiguation(tokens, text, j)
            keys.setdefault(text.decode("utf-8"), f"{path}:{line}")


def table_form(text):
    """A source text as a table key: escaped, Qt's %N written %N$@."""
    text = text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\t", "\\t")
    return re.sub(r"%(\d)", r"%\1$@", text)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", default=os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")))
    parser.add_argument("--text", action="store_true", help="print the keys one per line (escaped) instead of JSON")
    parser.add_argument("--template", action="store_true",
                        help='print a table skeleton: "key" = ""; per text, keys with positional placeholders')
    args = parser.parse_args()
    keys, dynamic = {}, []
    for folder in SOURCE_FOLDERS:
        for base, _, files in sorted(os.walk(os.path.join(args.root, folder))):
            for name in sorted(files):
                if name.endswith(SUFFIXES):
                    extract(args.root, os.path.join(base, name), keys, dynamic)
    if args.template:
        for key in sorted(keys):
            print(f'"{table_form(key)}" = "";')
        return 0
    if args.text:
        for key in sorted(keys):
            print(json.dumps(key, ensure_ascii=False))
        return 0
    json.dump({"keys": sorted(keys), "where": keys, "dynamic": dynamic}, sys.stdout, ensure_ascii=False, indent=1)
    print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
