"""The build backend of the Python package (PEP 517), named by pyproject.toml.

``python3 -m pip install .`` calls it: it configures the project's own CMake
tree for the interpreter that runs pip, builds the target varbloc_python
(the core library and the compiled module, nothing else), and packs the
build tree's python/varbloc, which CMake filled, into a wheel. It needs no
package beyond the standard library, CMake and the compiler, so the build
works offline and without build isolation; the version is the one CMake's
project() gives.

Config settings (``pip install --config-settings KEY=VALUE``):

build-dir
    The CMake build directory, kept between installs so that the next one
    builds only what changed; by default a temporary one, removed after.
"""

import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import tomllib
import zipfile

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _project():
    """The [project] table of pyproject.toml, with the version from CMake."""
    with open(os.path.join(SOURCE, "pyproject.toml"), "rb") as file:
        project = dict(tomllib.load(file)["project"])
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as file:
        found = re.search(r"^project\(\w+ VERSION ([0-9.]+)", file.read(), re.MULTILINE)
    if found is None:
        raise RuntimeError("no project(... VERSION ...) line in CMakeLists.txt")
    project["version"] = found.group(1)
    return project


def _tag():
    """The wheel's tag: this interpreter, its ABI and its platform."""
    interpreter = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"{interpreter}-{interpreter}-{platform}"


def _dist_info(project):
    return f"{project['name']}-{project['version']}.dist-info"


def _metadata_files(project):
    """The dist-info files but RECORD, as {name: text}."""
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}",
             f"Version: {project['version']}", f"Summary: {project['description']}"]
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    lines += [f"Requires-Dist: {requirement}" for requirement in project.get("dependencies", [])]
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {r}; extra == "{extra}"' for r in requirements]
    wheel = ["Wheel-Version: 1.0", "Generator: varbloc_build", "Root-Is-Purelib: false",
             f"Tag: {_tag()}"]
    return {"METADATA": "\n".join(lines) + "\n", "WHEEL": "\n".join(wheel) + "\n"}


def _cmake_build(directory):
    """Configures and builds the module in `directory`; returns the package
    directory it filled."""
    configure = ["cmake", "-S", SOURCE, "-B", directory, "-DCMAKE_BUILD_TYPE=Release",
                 "-DVARBLOC_TESTS=OFF", "-DVARBLOC_PYTHON=ON",
                 # The interpreter running pip; in a virtual environment the one
                 # it was made from, whose headers and ABI the module is built for.
                 f"-DPython_EXECUTABLE={getattr(sys, '_base_executable', sys.executable)}"]
    jobs = str(os.cpu_count() or 1)
    # Progress to standard error: pip shows it with -v and keeps standard
    # output for itself.
    subprocess.run(configure, check=True, stdout=sys.stderr)
    subprocess.run(["cmake", "--build", directory, "--target", "varbloc_python",
                    "--parallel", jobs], check=True, stdout=sys.stderr)
    return os.path.join(directory, "python", "varbloc")


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def _write_wheel(wheel_directory, package, project):
    """Packs the package directory and the metadata into a wheel; returns
    its file name."""
    name = f"{project['name']}-{project['version']}-{_tag()}.whl"
    dist_info = _dist_info(project)
    entries = []
    for root, directories, files in os.walk(package):
        directories[:] = sorted(d for d in directories if d != "__pycache__")
        for file in sorted(files):
            path = os.path.join(root, file)
            relative = os.path.relpath(path, os.path.dirname(package)).replace(os.sep, "/")
            with open(path, "rb") as handle:
                entries.append((relative, handle.read()))
    for file, text in _metadata_files(project).items():
        entries.append((f"{dist_info}/{file}", text.encode()))
    record = [_record_line(path, data) for path, data in entries] + [f"{dist_info}/RECORD,,"]
    entries.append((f"{dist_info}/RECORD", ("\n".join(record) + "\n").encode()))
    with zipfile.ZipFile(os.path.join(wheel_directory, name), "w",
                         zipfile.ZIP_DEFLATED) as wheel:
        for path, data in entries:
            wheel.writestr(path, data)
    return name


def get_requires_for_build_wheel(config_settings=None):
    """Nothing from a package index: CMake, the compiler and pybind11 come
    from the system."""
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    """Writes the dist-info directory without building."""
    project = _project()
    dist_info = os.path.join(metadata_directory, _dist_info(project))
    os.makedirs(dist_info, exist_ok=True)
    for file, text in _metadata_files(project).items():
        with open(os.path.join(dist_info, file), "w") as handle:
            handle.write(text)
    return _dist_info(project)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    """Builds the module with CMake and packs it into a wheel."""
    project = _project()
    directory = (config_settings or {}).get("build-dir")
    if directory:
        return _write_wheel(wheel_directory, _cmake_build(os.path.abspath(directory)), project)
    temporary = tempfile.mkdtemp(prefix="varbloc-build-")
    try:
        return _write_wheel(wheel_directory, _cmake_build(temporary), project)
    finally:
        shutil.rmtree(temporary, ignore_errors=True)
