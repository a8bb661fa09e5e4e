#!/usr/bin/env python3
"""Fails when a layer includes a header of a layer it may not depend on."""
import pathlib
import re
import sys

ALLOWED = {
    "text": set(),
    "json": {"text"},
    "panel": {"text"},
    "fetch": {"text"},
    "db": {"json", "text"},
    "web": {"db", "json", "text"},
    "relay": {"web", "panel", "json", "text"},
    "live": {"relay", "fetch", "panel", "json", "text"},
    "services": {"web", "db", "fetch", "panel", "json", "text"},
    "app": {"live", "services", "relay", "web", "db", "fetch", "panel", "json", "text"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([a-z_]+)/[^">]+[">]')
QT = re.compile(r'^\s*#\s*include\s*<Q')

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".") / "src"
problems = []
for path in sorted(root.rglob("*")):
    if path.suffix not in (".h", ".cpp"):
        continue
    layer = path.relative_to(root).parts[0]
    allowed = ALLOWED.get(layer)
    if allowed is None:
        problems.append(f"{path}: folder {layer} is not a known layer")
        continue
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        m = INCLUDE.match(line)
        if m and m.group(1) in ALLOWED and m.group(1) != layer and m.group(1) not in allowed:
            problems.append(f"{path}:{number}: {layer}/ may not include {m.group(1)}/")
        if QT.match(line) and layer != "app":
            problems.append(f"{path}:{number}: only app/ may include Qt")
for p in problems:
    print(p)
print(f"{0 if problems else 1} passed, {1 if problems else 0} failed")
sys.exit(1 if problems else 0)
