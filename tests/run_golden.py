#!/usr/bin/env python3
"""Run the shared golden cases against a built obj2mesh.

    python3 tests/run_golden.py PATH/TO/obj2mesh [GOLDEN_DIR] [CASE_NAME_SUBSTRING ...]

GOLDEN_DIR defaults to ../shared/golden beside the project. The folder is
copied to a writable temporary place, its flattened symbolic links are
restored, and the copy's own run.py is run against the executable; its exit
status is returned. Exit status 77 (skipped for CTest) without the folder.
"""

import os
import shutil
import stat
import subprocess
import sys
import tempfile
from pathlib import Path


def flattened_link_target(path):
    """The sibling name that `path` stands for, or None.

    The shared folder reaches us through a channel that does not keep
    symbolic links: each arrives as a regular file whose whole content is the
    link's target (out.mesh holding the ten bytes "target.bin"). The rule is
    kept narrow so that it cannot turn real content into a link: a small
    regular file with no line end, NUL or '/', whose whole content names
    another regular file in the same folder.
    """
    if not path.is_file() or path.is_symlink() or path.stat().st_size > 255:
        return None
    data = path.read_bytes()
    if not data or any(c in data for c in (b"\n", b"\r", b"\0", b"/")):
        return None
    name = data.decode("utf-8", "replace")
    sibling = path.parent / name
    if name in (".", "..", path.name) or not sibling.is_file() or sibling.is_symlink():
        return None
    return name


def main(argv):
    if not argv:
        sys.exit(__doc__)
    exe = os.path.abspath(argv[0])
    golden = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parents[2] / "shared" / "golden"
    if not (golden / "run.py").is_file():
        print("golden cases not found at %s; skipped" % golden)
        return 77
    with tempfile.TemporaryDirectory(prefix="obj2mesh-golden-") as tmp:
        copy = Path(tmp) / "golden"
        shutil.copytree(golden, copy, symlinks=True)
        for path in [copy, *copy.rglob("*")]:
            if not path.is_symlink():
                path.chmod(path.stat().st_mode | stat.S_IWUSR)
        # Only cases about links have any.
        for case in sorted(p for p in copy.iterdir() if p.is_dir() and "symlink" in p.name):
            for path in sorted([*(case / "input").rglob("*"), *(case / "expected" / "tree").rglob("*")]):
                target = flattened_link_target(path)
                if target is not None:
                    path.unlink()
                    os.symlink(target, path)
                    print("restored link %s -> %s" % (path.relative_to(copy), target), flush=True)
        return subprocess.run([sys.executable, str(copy / "run.py"), exe] + argv[2:]).returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
