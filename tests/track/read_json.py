#!/usr/bin/env python3
"""Reads one JSON text from a file as strictly as JSON allows (no NaN or
Infinity, no repeated keys, no lone surrogates) and prints every value as
"<path>\t<value>\0": paths like ranges.0.f0_hz, an array's length as
<path>.length; numbers as Python writes them, null, true and false as
words, strings as UTF-8. Exits 1 for anything that is no JSON."""
import json
import sys


def reject(what):
    raise ValueError("not JSON: " + what)


def members(pairs):
    if len({k for k, _ in pairs}) != len(pairs):
        reject("a repeated key")
    return dict(pairs)


def walk(path, value, out):
    if isinstance(value, dict):
        for key, v in value.items():
            walk(path + [key], v, out)
    elif isinstance(value, list):
        out.append((path + ["length"], str(len(value))))
        for i, v in enumerate(value):
            walk(path + [str(i)], v, out)
    elif isinstance(value, str):
        out.append((path, value))
    elif value is None or isinstance(value, bool):
        out.append((path, {None: "null", True: "true", False: "false"}[value]))
    else:
        out.append((path, repr(value)))


with open(sys.argv[1], "rb") as f:
    data = json.loads(f.read().decode("utf-8"), parse_constant=reject, object_pairs_hook=members)
out = []
walk([], data, out)
sys.stdout.buffer.write(b"".join((".".join(p) + "\t" + t + "\0").encode("utf-8") for p, t in out))
