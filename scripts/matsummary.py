#!/usr/bin/env python3
"""Prints a one-line summary of a qarvel/vexa result file (MAT level 5).

Uses only the standard library, so it runs wherever Python does.
"""
import struct
import sys

MI_MATRIX, MI_INT8, MI_INT32, MI_DOUBLE = 14, 1, 5, 9


def elements(data, pos, end):
    """Yields (type, payload bytes) of the elements in data[pos:end]."""
    while pos + 8 <= end:
        typ, size = struct.unpack_from("<II", data, pos)
        if typ >> 16:  # small data element: size in the upper half
            yield typ & 0xFFFF, data[pos + 4 : pos + 4 + (typ >> 16)]
            pos += 8
        else:
            yield typ, data[pos + 8 : pos + 8 + size]
            pos += 8 + ((size + 7) & ~7)


def parse_matrix(body):
    """Returns (class, dims, name, value) of a matrix element's body."""
    subs = list(elements(body, 0, len(body)))
    cls = struct.unpack_from("<I", subs[0][1])[0] & 0xFF
    dims = struct.unpack("<%di" % (len(subs[1][1]) // 4), subs[1][1])
    name = subs[2][1].decode("latin-1")
    if cls == 2:  # structure: field names, then the field matrices
        namelen = struct.unpack_from("<i", subs[3][1])[0]
        raw = subs[4][1]
        names = [raw[i : i + namelen].split(b"\0")[0].decode() for i in range(0, len(raw), namelen)]
        fields = [parse_matrix(b) for _, b in subs[5:]]
        return cls, dims, name, (names, fields)
    kind, data = subs[3] if len(subs) > 3 else (0, b"")
    if kind == MI_DOUBLE:
        return cls, dims, name, struct.unpack("<%dd" % (len(data) // 8), data)
    return cls, dims, name, data


def main(path):
    data = open(path, "rb").read()
    variables = {}
    for typ, body in elements(data, 128, len(data)):
        if typ == MI_MATRIX:
            cls, dims, name, value = parse_matrix(body)
            variables[name] = (dims, value)
    dims, (names, fields) = variables["SweepInfo"]
    info = {n: f[3] for n, f in zip(names, fields)}
    sdims = variables["SweepData"][0]
    nsub = int(info["NumberOfSubSweeps"][0])
    points = [int(p) for p in info["SweepVectorLength"]]
    sweeps = int(info["NumberOfSweeps"][0])
    print(
        "%s: %d bytes; variables %s; %d range(s) of %s points; NumberOfSweeps %d; "
        "SweepData 1x%d"
        % (
            path,
            len(data),
            ", ".join(variables),
            nsub,
            "/".join(map(str, points)),
            sweeps,
            sdims[1],
        )
    )


if __name__ == "__main__":
    main(sys.argv[1])
