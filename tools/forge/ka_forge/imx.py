"""IMX version 2 containers: packing a bundle directory, and broken or hostile variants for tests.

Layout (little-endian): b"IMX\\0", u16 version, u16 count, then per member u16 name length, the
name, u64 payload offset, u64 payload size; payloads follow the table.
"""
import os
import struct


def members_of(bundle_dir):
    """(name, bytes) for every file under bundle_dir, names relative with "/" separators, sorted."""
    out = []
    for root, _dirs, files in os.walk(bundle_dir):
        for fn in files:
            full = os.path.join(root, fn)
            rel = os.path.relpath(full, bundle_dir).replace(os.sep, "/")
            with open(full, "rb") as f:
                out.append((rel, f.read()))
    return sorted(out)


def build(members, version=2, magic=b"IMX\0", sizes=None, offsets=None):
    """Container bytes for [(name(str|bytes), payload bytes)]. `sizes`/`offsets` override the
    table's declared values per index (for lying tables)."""
    names = [n.encode() if isinstance(n, str) else n for n, _ in members]
    toc_len = sum(2 + len(n) + 16 for n in names)
    pos = 8 + toc_len
    head = bytearray(magic + struct.pack("<HH", version, len(members)))
    body = bytearray()
    for i, (name, (_, payload)) in enumerate(zip(names, members)):
        off = pos + len(body)
        size = len(payload)
        if offsets and i in offsets:
            off = offsets[i]
        if sizes and i in sizes:
            size = sizes[i]
        head += struct.pack("<H", len(name)) + name + struct.pack("<QQ", off, size)
        body += payload
    return bytes(head + body)


def pack_dir(bundle_dir, out_path, **kw):
    data = build(members_of(bundle_dir), **kw)
    with open(out_path, "wb") as f:
        f.write(data)


# Hostile or broken containers. Each takes the bundle's members and returns container bytes.
def _variant(members, mode):
    if mode == "ok":
        return build(members)
    if mode == "version1":
        return build(members, version=1)
    if mode == "bad-magic":
        return build(members, magic=b"IMY\0")
    if mode == "short-header":
        return b"IMX\0\x02"
    if mode in ("dotdot", "absolute", "backslash", "nul", "empty-name", "trailing-slash"):
        bad = {"dotdot": "../escape.txt", "absolute": "/tmp/ka_escape.txt", "backslash": "\\evil",
               "nul": b"a\0b", "empty-name": "", "trailing-slash": "sub/"}[mode]
        return build(members + [(bad, b"pwned")])
    if mode == "truncated-toc":
        full = build(members)
        return full[:8 + 1]  # count says n, the table stops inside entry 0's name length
    if mode == "truncated-name":
        full = build(members)
        return full[:8 + 2 + 3]
    if mode == "truncated-offsets":
        full = build(members)
        return full[:8 + 2 + len(members[0][0]) + 5]
    if mode == "truncated-payload":
        full = build(members)
        return full[:-7]
    if mode == "huge-size":
        return build(members, sizes={len(members) - 1: 1 << 62})
    if mode == "huge-offset":
        return build(members, offsets={0: (1 << 64) - 16})
    if mode == "synthetic-manifest":
        out = [(n, p) for n, p in members if n != "manifest.json"]
        return build(out + [("manifest.json", b'{"_imx_synthetic_manifest": true}')])
    raise ValueError("unknown container mode " + mode)


MODES = ["ok", "version1", "bad-magic", "short-header", "dotdot", "absolute", "backslash", "nul",
         "empty-name", "trailing-slash", "truncated-toc", "truncated-name", "truncated-offsets",
         "truncated-payload", "huge-size", "huge-offset", "synthetic-manifest"]


def register(sub):
    p = sub.add_parser("imx", help="pack a bundle directory into an IMX v2 container (or a broken one)")
    p.add_argument("bundle_dir")
    p.add_argument("out")
    p.add_argument("--mode", choices=MODES, default="ok")

    def run(a):
        data = _variant(members_of(a.bundle_dir), a.mode)
        with open(a.out, "wb") as f:
            f.write(data)

    p.set_defaults(func=run)
