#!/usr/bin/env bash
# pip install ./python, without a package index, in a venv made with
# --system-site-packages from the Python the extension is built for: the
# package's backend builds the extension again with CMake. The installed
# package then converts an OBJ file from outside the repository, and
# uninstalling removes every file it installed.
# Usage: pip_test.sh <python> <repository>
set -euo pipefail
python=$1 repository=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset PYTHONPATH

if ! "$python" -m venv --system-site-packages "$work/venv" > "$work/log" 2>&1; then
  cat "$work/log"
  echo "skipped: $python -m venv failed (python3-venv, which scripts/install-deps.sh test installs)"
  exit 77
fi
venv=$work/venv/bin
cd "$work"
PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/pip" install "$repository/python"
"$venv/python" - "$repository/examples/house.obj" <<'PY'
import importlib.metadata, os, sys
import obj2mesh
assert obj2mesh.__file__.startswith(sys.prefix + os.sep), obj2mesh.__file__
assert importlib.metadata.version("obj2mesh") == obj2mesh.__version__
model = obj2mesh.load_obj(sys.argv[1])
assert (model[0].positions.shape, model[0].indices.shape) == ((38, 3), (18, 3)), model
PY
site=$("$venv/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/pip" uninstall -y obj2mesh
if left=$(ls -d "$site"/obj2mesh* 2> /dev/null); then
  echo "FAIL: pip uninstall left $left" >&2
  exit 1
fi
