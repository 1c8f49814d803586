#!/usr/bin/env python3
"""Run the shared golden cases against a built obj2mesh.

    python3 tests/run_golden.py PATH/TO/obj2mesh [GOLDEN_DIR] [CASE_NAME_SUBSTRING ...]

GOLDEN_DIR defaults to ../shared/golden beside the project. Runs the
folder's own run.py against the executable and returns its exit status;
exit status 77 (skipped for CTest) without the folder.
"""

import os
import subprocess
import sys
from pathlib import Path


def main(argv):
    if not argv:
        sys.exit(__doc__)
    exe = os.path.abspath(argv[0])
    golden = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parents[2] / "shared" / "golden"
    if not (golden / "run.py").is_file():
        print("golden cases not found at %s; skipped" % golden)
        return 77
    return subprocess.run([sys.executable, str(golden / "run.py"), exe] + argv[2:]).returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
