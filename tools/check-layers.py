#!/usr/bin/env python3
"""Checks that the includes between the SDK's folders run one way.

Each folder under src/SDK is a layer; a file may include headers of its own
layer and of the layers below it, never of a layer above. A layer missing
from the order (a new folder) is reported too, so that its place is decided
when it is made. Prints every offending include and exits 1 if there is one.
"""
import pathlib
import re
import sys

# Lowest first: the public types, the locks and the process-wide state they
# guard, conversions/tracing/COM errors, pools, handle tables, the call frame
# and lifecycle, the service connection, and the operations and
# self-registration on top.
LAYERS = ["interface", "sync", "support", "threading", "tables", "core", "service", "registration", "operations"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.MULTILINE)


def main() -> int:
    sdk = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent / "src") / "SDK"
    problems = []
    for path in sorted(sdk.rglob("*")):
        if path.suffix not in (".h", ".hpp", ".cpp"):
            continue
        layer = path.relative_to(sdk).parts[0]
        if layer not in LAYERS:
            problems.append(f"{path.relative_to(sdk)}: folder '{layer}' has no place in the layer order")
            continue
        for target in INCLUDE.findall(path.read_text(encoding="utf-8", errors="replace")):
            if target in LAYERS and LAYERS.index(target) > LAYERS.index(layer):
                problems.append(f"{path.relative_to(sdk)}: {layer} includes the higher layer {target}")
    for line in problems:
        print(line)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
