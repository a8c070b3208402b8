#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
"""Fails when a file that git tracks has no SPDX-License-Identifier line near
its top and REUSE.toml does not cover it either.

    check_spdx.py SOURCE_DIR

Ends with status 77 (a skipped test) outside a git checkout."""
import re
import subprocess
import sys
import tomllib
from pathlib import Path

HEAD_LINES = 5  # a #! line, an <?xml?> or DOCTYPE declaration may come first
# REUSE's own rules: the license texts and files named LICENSE or COPYING
# need no lines.
IGNORED = re.compile(r"^(LICENSES/.*|(.*/)?(LICENSE|COPYING)(\.\w+)?)$")


def glob_to_regex(pattern):
    """REUSE.toml's globs: * within a folder, ** across folders."""
    out = ""
    i = 0
    while i < len(pattern):
        if pattern.startswith("**", i):
            out += ".*"
            i += 2
        elif pattern[i] == "*":
            out += "[^/]*"
            i += 1
        else:
            out += re.escape(pattern[i])
            i += 1
    return re.compile(out + "$")


def reuse_covered(root):
    """A test of a file name: does REUSE.toml cover it?"""
    covered = []
    reuse = root / "REUSE.toml"
    if reuse.exists():
        for annotation in tomllib.loads(reuse.read_text()).get("annotations", []):
            paths = annotation["path"]
            covered += [glob_to_regex(p) for p in ([paths] if isinstance(paths, str) else paths)]
    return lambda name: any(c.match(name) for c in covered)


def main():
    root = Path(sys.argv[1])
    listed = subprocess.run(["git", "-C", str(root), "ls-files", "-z"], capture_output=True)
    if listed.returncode != 0:
        print("not a git checkout: nothing to check")
        return 77
    covered = reuse_covered(root)
    missing = []
    for name in listed.stdout.decode().split("\0"):
        if not name or IGNORED.match(name) or covered(name):
            continue
        path = root / name
        if not path.is_file():  # deleted in the work tree, not yet in the index
            continue
        with path.open("rb") as f:
            head = b"".join(f.readline() for _ in range(HEAD_LINES))
        if b"SPDX-License-Identifier:" not in head:
            missing.append(name)
    for name in missing:
        print(f"{name}: no SPDX-License-Identifier line in its first {HEAD_LINES} lines, "
              "and REUSE.toml does not cover it")
    if missing:
        print(f"{len(missing)} files without SPDX lines: scripts/add-spdx-headers.py adds them")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
