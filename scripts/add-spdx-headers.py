#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
"""Adds the SPDX lines to every file git tracks that lacks them, in the
file's own comment form: after a #! line, after an <?xml?> declaration,
otherwise at the top. A file that has the license line but not the
copyright line gets the copyright line below it. Files that REUSE.toml
covers, or of a kind it does not know, are left alone (the second are
listed). Run it again at any time: it changes only what is missing.

    scripts/add-spdx-headers.py [SOURCE_DIR]"""
import re
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from check_spdx import IGNORED, reuse_covered  # noqa: E402

LICENSE = "SPDX-License-Identifier: MIT"
COPYRIGHT = "SPDX-FileCopyrightText: 2026 The CalvornTest developers"

# Comment forms by the end of a file's name.
FORMS = [
    (r"\.(cpp|h|qml|h\.in)$", "// {}"),
    (r"(CMakeLists\.txt|\.cmake|\.cmake\.in|\.sh|\.py|\.supp|\.dict|\.pc\.in|\.desktop\.in"
     r"|Doxyfile\.in|\.bash-completion|\.gitignore|\.clang-format|\.toml|/triggers"
     r"|lintian-overrides|^\.ci/run)$", "# {}"),
    (r"\.(xml|ui|qrc)$", "<!-- {} -->"),
    (r"\.[1-8]$", '.\\" {}'),
]


def comment_form(name):
    for pattern, form in FORMS:
        if re.search(pattern, name):
            return form
    return None


def add(path, form):
    lines = path.read_text().splitlines(keepends=True)
    head = "".join(lines[:5])
    if "SPDX-License-Identifier:" in head:
        if "SPDX-FileCopyrightText:" in head:
            return False
        at = next(i for i, line in enumerate(lines) if "SPDX-License-Identifier:" in line)
        lines.insert(at + 1, form.format(COPYRIGHT) + "\n")
    else:
        at = 1 if lines and (lines[0].startswith("#!") or lines[0].startswith("<?xml")) else 0
        added = [form.format(LICENSE) + "\n"]
        if "SPDX-FileCopyrightText:" not in head:
            added.append(form.format(COPYRIGHT) + "\n")
        lines[at:at] = added
    path.write_text("".join(lines))
    return True


def main():
    root = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent)
    names = subprocess.run(["git", "-C", str(root), "ls-files", "-z"], capture_output=True,
                           check=True).stdout.decode().split("\0")
    covered = reuse_covered(root)
    changed = unknown = 0
    for name in names:
        if not name or IGNORED.match(name) or covered(name) or not (root / name).is_file():
            continue
        form = comment_form(name)
        if form is None:
            print(f"{name}: no comment form known; add its lines by hand or cover it in REUSE.toml")
            unknown += 1
        elif add(root / name, form):
            changed += 1
    print(f"{changed} files changed, {unknown} left alone")
    return 1 if unknown else 0


if __name__ == "__main__":
    sys.exit(main())
