"""Prints every variable of a MAT file (level 5 or 4) as SciPy reads it:
"<path> <class> <rows>x<cols> <values>" ("SweepData(2).Phase"), up to 16
numbers in column-major order, else the first, the last and the NaN count;
then "<probe> <value>" per argument after the file ("SweepData(2).Phase(100,1)")."""
import re
import sys

import numpy as np
import scipy.io

# SciPy gives logical values as uint8; the files hold no other uint8.
CLASSES = {"f": "double", "i": "int32", "b": "logical", "u": "logical"}


def number(x):
    if isinstance(x, (bool, np.bool_)):
        return "1" if x else "0"
    x = float(x)
    if x != x:
        return "NaN"
    if x in (float("inf"), float("-inf")):
        return "Inf" if x > 0 else "-Inf"
    return "%.17g" % x


def values(a):
    flat = a.ravel(order="F")
    if flat.size <= 16:
        return " ".join(number(x) for x in flat)
    nans = int(np.isnan(flat).sum()) if a.dtype.kind == "f" else 0
    return "%s ... %s nan=%d" % (number(flat[0]), number(flat[-1]), nans)


def walk(path, a):
    rows, cols = a.shape
    if a.dtype.names:
        print("%s struct %dx%d %s" % (path, rows, cols, ",".join(a.dtype.names)))
        for i in range(a.size):
            for field in a.dtype.names:
                walk("%s(%d).%s" % (path, i + 1, field), a.ravel(order="F")[i][field])
    elif a.dtype.kind == "U":
        print("%s char %dx%d %s" % (path, rows, cols, "".join(a.ravel(order="F"))))
    else:
        print("%s %s %dx%d %s" % (path, CLASSES[a.dtype.kind], rows, cols, values(a)))


def probe(m, text):
    x = None
    for name, index in re.findall(r"(\w+)(?:\(([\d,]+)\))?", text):
        x = m[name] if x is None else x[name]
        if index:
            at = [int(i) - 1 for i in index.split(",")]
            x = x.ravel(order="F")[at[0]] if len(at) == 1 else x[at[0], at[1]]
    return number(np.asarray(x).ravel()[0])


m = scipy.io.loadmat(sys.argv[1], chars_as_strings=False, squeeze_me=False)
for name in sorted(k for k in m if not k.startswith("__")):
    walk(name, m[name])
for text in sys.argv[2:]:
    print("%s %s" % (text, probe(m, text)))
