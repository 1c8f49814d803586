"""The PEP 517 build backend of the obj2mesh Python package.

It needs nothing but the standard library, CMake and the project's build
dependencies (scripts/install-deps.sh package), so pip runs it offline, in
its isolated build environment: build_wheel configures the repository that
holds this folder with only the Python extension, builds obj2mesh._native
for the interpreter running the backend, and writes a wheel of the package
with it. The package is built from the repository checkout only: there is
no source distribution, and no editable install.
"""

import base64
import hashlib
import os
import re
import subprocess
import sys
import sysconfig
import tempfile
import zipfile

try:
    import tomllib
except ImportError:  # Python < 3.11
    try:
        import tomli as tomllib
    except ImportError:
        tomllib = None

_PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_REPOSITORY = os.path.dirname(_PYTHON_DIR)
_PACKAGE = "obj2mesh"


class BuildError(Exception):
    pass


def _read(path):
    with open(path, encoding="utf-8") as file:
        return file.read()


def _project():
    """The [project] table of pyproject.toml, after checking that its version
    is the one of the CMake project and of obj2mesh.__version__."""
    if tomllib is None:
        raise BuildError("building obj2mesh needs Python 3.11 or later (tomllib), or tomli installed")
    with open(os.path.join(_PYTHON_DIR, "pyproject.toml"), "rb") as file:
        project = tomllib.load(file)["project"]
    cmake_lists = os.path.join(_REPOSITORY, "CMakeLists.txt")
    if not os.path.isfile(cmake_lists):
        raise BuildError("%s is not in an obj2mesh repository (no %s): build the package from a checkout"
                         % (_PYTHON_DIR, cmake_lists))
    found = {"CMakeLists.txt": re.search(r"project\(obj2mesh\s+VERSION\s+([0-9.]+)", _read(cmake_lists)),
             "obj2mesh/__init__.py": re.search(r'^__version__ = "([^"]+)"', _read(
                 os.path.join(_PYTHON_DIR, _PACKAGE, "__init__.py")), re.M)}
    for where, match in found.items():
        if match is None or match.group(1) != project["version"]:
            raise BuildError("the version in pyproject.toml, %s, is not the one in %s (%s)"
                             % (project["version"], where, match.group(1) if match else "none found"))
    return project


def _metadata(project):
    lines = ["Metadata-Version: 2.1", "Name: " + project["name"], "Version: " + project["version"],
             "Summary: " + project["description"], "License: " + project["license"]["text"],
             "Requires-Python: " + project["requires-python"]]
    lines += ["Classifier: " + classifier for classifier in project.get("classifiers", ())]
    lines += ["Requires-Dist: " + dependency for dependency in project.get("dependencies", ())]
    return "\n".join(lines) + "\n"


def _tag():
    """The wheel tag of the running interpreter, e.g. cp311-cp311-linux_x86_64."""
    version = "%d%d" % sys.version_info[:2]
    if sys.implementation.name == "cpython":
        interpreter = abi = "cp" + version + ("d" if sysconfig.get_config_var("Py_DEBUG") else "")
    else:
        interpreter = sys.implementation.name + version
        abi = re.sub(r"[-.]", "_", sysconfig.get_config_var("SOABI") or "none")
    return "%s-%s-%s" % (interpreter, abi, re.sub(r"[-.]", "_", sysconfig.get_platform()))


def _build_extension(build_dir):
    """Builds obj2mesh._native in build_dir and returns its path."""
    configure = ["cmake", "-S", _REPOSITORY, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                 "-DOBJ2MESH_PYTHON=ON", "-DPython3_EXECUTABLE=" + sys.executable, "-DOBJ2MESH_TESTS=OFF",
                 "-DOBJ2MESH_BENCH=OFF", "-DOBJ2MESH_FUZZERS=OFF", "-DOBJ2MESH_INSTALL=OFF",
                 "-DOBJ2MESH_HARDENING=ON"]
    build = ["cmake", "--build", build_dir, "--target", "obj2mesh_native"]
    if "CMAKE_BUILD_PARALLEL_LEVEL" not in os.environ:
        build += ["--parallel", str(os.cpu_count() or 1)]
    for command in configure, build:
        try:
            # pip shows the backend's output on failure, or with -v.
            subprocess.run(command, check=True, stdout=sys.stderr)
        except FileNotFoundError:
            raise BuildError("building obj2mesh needs cmake: scripts/install-deps.sh package installs "
                             "it with the compiler, FlatBuffers, pybind11 and the Python headers") from None
        except subprocess.CalledProcessError as error:
            raise BuildError("%s failed with status %d (its output is above)"
                             % (" ".join(command[:2]), error.returncode)) from None
    package = os.path.join(build_dir, "python", _PACKAGE)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    path = os.path.join(package, "_native" + suffix)
    if not os.path.isfile(path):
        raise BuildError("the build made no %s in %s" % (os.path.basename(path), package))
    return path


class _Wheel:
    """A wheel being written: every file is recorded for RECORD."""

    def __init__(self, path):
        self.zip = zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED)
        self.record = []

    def add(self, name, data, executable=False):
        info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = (0o755 if executable else 0o644) << 16
        self.zip.writestr(info, data)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        self.record.append("%s,sha256=%s,%d" % (name, digest, len(data)))

    def close(self, record_name):
        self.zip.writestr(zipfile.ZipInfo(record_name, date_time=(1980, 1, 1, 0, 0, 0)),
                          "\n".join(self.record + [record_name + ",,"]) + "\n")
        self.zip.close()


def _dist_info(project):
    """The name of the .dist-info folder, and its METADATA and WHEEL files."""
    files = {"METADATA": _metadata(project).encode(),
             "WHEEL": ("Wheel-Version: 1.0\nGenerator: obj2mesh_backend\nRoot-Is-Purelib: false\nTag: %s\n"
                       % _tag()).encode()}
    return "%s-%s.dist-info" % (project["name"], project["version"]), files


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    dist_info, files = _dist_info(_project())
    os.mkdir(os.path.join(metadata_directory, dist_info))
    for name, data in files.items():
        with open(os.path.join(metadata_directory, dist_info, name), "wb") as file:
            file.write(data)
    return dist_info


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    dist_info, files = _dist_info(project)
    wheel_name = "%s-%s-%s.whl" % (project["name"], project["version"], _tag())
    with tempfile.TemporaryDirectory(prefix="obj2mesh-build-") as build_dir:
        extension = _build_extension(build_dir)
        wheel = _Wheel(os.path.join(wheel_directory, wheel_name))
        try:
            sources = os.path.join(_PYTHON_DIR, _PACKAGE)
            for file in sorted(os.listdir(sources)):
                if file.endswith(".py"):
                    with open(os.path.join(sources, file), "rb") as source:
                        wheel.add("%s/%s" % (_PACKAGE, file), source.read())
            with open(extension, "rb") as source:
                wheel.add("%s/%s" % (_PACKAGE, os.path.basename(extension)), source.read(), executable=True)
            with open(os.path.join(_REPOSITORY, "LICENSE"), "rb") as source:
                wheel.add(dist_info + "/LICENSE", source.read())
            for file, data in files.items():
                wheel.add("%s/%s" % (dist_info, file), data)
            wheel.close(dist_info + "/RECORD")
        except BaseException:
            wheel.zip.close()
            os.unlink(os.path.join(wheel_directory, wheel_name))
            raise
    return wheel_name
