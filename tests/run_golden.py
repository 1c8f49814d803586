#!/usr/bin/env python3
"""Run the shared golden cases against a built obj2mesh.

    python3 tests/run_golden.py PATH/TO/obj2mesh [GOLDEN_DIR] [CASE_NAME_SUBSTRING ...]

GOLDEN_DIR defaults to ../shared/golden beside the project. The folder is
copied to a temporary place first, because the shared copy cannot be relied on
to be writable and because symbolic links inside it have to be restored (see
restore_flattened_links); then the copy's own run.py is run against the
executable, and its exit status is returned. It prints one line per failing
case and ends with 'N passed, M failed'.

Exit status 77 (taken as "skipped" by CTest) when the golden folder is absent.
"""

import os
import shutil
import stat
import subprocess
import sys
import tempfile
from pathlib import Path

SKIP = 77
PROJECT = Path(__file__).resolve().parent.parent

# A flattened link is a tiny file; anything longer is real content.
MAX_LINK_TEXT = 255


def make_writable(root):
    """Adds the owner's write bit everywhere, since the shared folder may be laid
    out read-only and the cases write into (copies of) their input folders."""
    for dirpath, dirnames, filenames in os.walk(root):
        for name in [dirpath] + [os.path.join(dirpath, n) for n in filenames]:
            if not os.path.islink(name):
                mode = os.stat(name).st_mode
                os.chmod(name, mode | stat.S_IWUSR)


def flattened_link_target(path):
    """The sibling name that `path` stands for, or None.

    The shared golden folder reaches us through a channel that does not keep
    symbolic links: each link arrives as a regular file whose whole content is
    the link's target (input/out.mesh holding the ten bytes "target.bin").
    Only cases about links have any, so the rule is kept narrow enough that it
    cannot turn real content into a link: a regular file of at most
    MAX_LINK_TEXT bytes, with no line end, NUL or '/', whose whole content is
    the name of another regular file in the same folder. Case inputs are OBJ
    text, meshes or short markers like "old", none of which names a sibling.
    """
    if not path.is_file() or path.is_symlink() or path.stat().st_size > MAX_LINK_TEXT:
        return None
    data = path.read_bytes()
    if not data or any(c in data for c in (b"\n", b"\r", b"\0", b"/")):
        return None
    try:
        name = data.decode("utf-8")
    except UnicodeDecodeError:
        return None
    if name in (".", "..", path.name):
        return None
    sibling = path.parent / name
    if not sibling.is_file() or sibling.is_symlink():
        return None
    return name


def restore_flattened_links(golden):
    restored = []
    for case in sorted(p for p in golden.iterdir() if p.is_dir() and "symlink" in p.name):
        for top in (case / "input", case / "expected" / "tree"):
            if not top.is_dir():
                continue
            for path in sorted(p for p in top.rglob("*")):
                target = flattened_link_target(path)
                if target is not None:
                    path.unlink()
                    os.symlink(target, path)
                    restored.append(path.relative_to(golden))
    return restored


def main(argv):
    if not argv:
        print(__doc__, file=sys.stderr)
        return 2
    exe = os.path.abspath(argv[0])
    golden = Path(argv[1]) if len(argv) > 1 else PROJECT.parent / "shared" / "golden"
    filters = argv[2:]
    if not (golden / "run.py").is_file():
        print("golden cases not found at %s; skipped" % golden)
        return SKIP
    if not os.access(exe, os.X_OK):
        print("%s is not an executable" % exe, file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="obj2mesh-golden-") as tmp:
        copy = Path(tmp) / "golden"
        shutil.copytree(golden, copy, symlinks=True)
        make_writable(copy)
        for rel in restore_flattened_links(copy):
            print("restored link %s -> %s" % (rel, os.readlink(copy / rel)))
        sys.stdout.flush()
        return subprocess.run([sys.executable, str(copy / "run.py"), exe] + filters).returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
