#!/usr/bin/env python3
"""The shared library exports exactly the C interface: every dynamic symbol it defines is an entry
point declared with KA_API in a public header, and every such declaration is exported.

    exported_symbols.py LIBRARY INCLUDE_DIR
"""
import pathlib
import re
import subprocess
import sys

library, include = sys.argv[1], pathlib.Path(sys.argv[2])

declared = set()
for header in sorted(include.glob("*.h")):
    text = re.sub(r"/\*.*?\*/|//[^\n]*", " ", header.read_text(), flags=re.S)
    text = re.sub(r"(?m)^\s*#.*$", " ", text)
    for decl in re.findall(r"\bKA_API\b([^;{]*?)\(", text):
        declared.add(re.findall(r"\w+", decl)[-1])
if len(declared) < 100:
    sys.exit(f"only {len(declared)} KA_API declarations found under {include}: the reader is broken")

listing = subprocess.run(["nm", "-D", "--defined-only", library], check=True, capture_output=True,
                         text=True).stdout
exported = {line.split()[-1].split("@")[0] for line in listing.splitlines() if line.strip()}

stray = sorted(exported - declared)
missing = sorted(declared - exported)
print(f"{len(exported)} exported, {len(declared)} declared")
for name in stray:
    print(f"exported but not a public C entry point: {name}")
for name in missing:
    print(f"declared in {include} but not exported: {name}")
sys.exit(1 if stray or missing else 0)
