#!/usr/bin/python3
"""The fixture forge: writes synthetic, deterministic bundles, members, models and containers.

Usage: forge.py COMMAND [options] ...   (forge.py --help lists the commands)

Each module of the ka_forge package owns one family of members and registers its own commands,
so a new family is a new module: define register(subparsers) in it and it is picked up.
"""
import argparse
import importlib
import os
import pkgutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import ka_forge  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(prog="forge.py", description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    for info in sorted(pkgutil.iter_modules(ka_forge.__path__), key=lambda m: m.name):
        mod = importlib.import_module("ka_forge." + info.name)
        if hasattr(mod, "register"):
            mod.register(sub)
    args = parser.parse_args(argv)
    return args.func(args) or 0


if __name__ == "__main__":
    sys.exit(main())
