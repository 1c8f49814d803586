#!/usr/bin/env python3
"""Converts two generated 32 MB files in both modes, on one thread and on
several, and compares the outputs' SHA-256 with recorded values, so that no
change to the converter can alter a byte of them unnoticed; 8 MB files of
both styles must also come out the same on one thread and on several.

    generated_outputs.py OBJ2MESH GENERATOR

Exits 77 (skipped) when the generator is missing or produces other input
than the one the values were recorded from.
"""

import hashlib
import os
import subprocess
import sys
import tempfile
from pathlib import Path

# style: (input sha256, combined output sha256, separate output sha256)
RECORDED = {
    "full": ("af0daac7b5a42acac3edfbecbd1529a0c744b7d15be7e194ab7290c7fe22de3e",
             "276607956c734e6eaca4587eeb21c34ba71ebe93ceac23b9915abcf1ea440fff",
             "3b714d254be7cf5bdecf3ec22a470e89a670925cded4b97bcbd1aebf5162a48c"),
    "positions": ("a25ac8a323aa790475f6a241eb7943727f6056ba34344d1ae28561c75e1ce9ad",
                  "7675ed09e5dbf7546f08ffbbbaa41284d841cabc032b6d575eca9b804fac4d59",
                  "7675ed09e5dbf7546f08ffbbbaa41284d841cabc032b6d575eca9b804fac4d59"),
}


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def main(exe, generator):
    exe = str(Path(exe).resolve())
    if not Path(generator).exists():
        print("no generator at %s" % generator)
        return 77
    failed = False
    with tempfile.TemporaryDirectory() as tmp:
        for style, (want_input, want_combined, want_separate) in RECORDED.items():
            name = "%s32" % style
            obj = Path(tmp) / (name + ".obj")
            subprocess.run([sys.executable, generator, str(obj), "--size-mb", "32", "--seed", "1",
                            "--style", style], check=True, stderr=subprocess.DEVNULL)
            if sha256(obj) != want_input:
                print("%s: the generator wrote other input than the recorded one" % name)
                return 77
            for mode, args, want in (("combined", [], want_combined), ("separate", ["-c", "false"], want_separate)):
                for threads in ("1", "2"):
                    got = convert(exe, obj, args, threads, tmp)
                    print("%s %s, threads %s: %s" % (name, mode, threads,
                                                     "same" if got == want else "DIFFERENT " + got))
                    failed |= got != want
        for style in RECORDED:
            obj = Path(tmp) / (style + "8.obj")
            subprocess.run([sys.executable, generator, str(obj), "--size-mb", "8", "--seed", "2", "--style", style],
                           check=True, stderr=subprocess.DEVNULL)
            for args in ([], ["-c", "false"]):
                one, many = (convert(exe, obj, args, threads, tmp) for threads in ("1", "2"))
                print("%s %s: %s on one thread and on several" % (obj.name, args, "same" if one == many else "DIFFERENT"))
                failed |= one != many
    return 1 if failed else 0


def convert(exe, obj, args, threads, tmp):
    """The SHA-256 of the mesh of `obj`, converted with OBJ2MESH_THREADS=`threads`."""
    out = Path(tmp) / "out.mesh"
    env = dict(os.environ)
    env["OBJ2MESH_THREADS"] = threads
    subprocess.run([exe, obj.name, "-o", str(out)] + args, cwd=tmp, check=True, stdout=subprocess.DEVNULL, env=env)
    return sha256(out)


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
