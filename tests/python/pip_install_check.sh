#!/usr/bin/env bash
# Installs the Python package with pip into a fresh virtual environment, as
# the README says (offline: no index, the build from the system's CMake,
# compiler and pybind11, NumPy from the system's site-packages), imports it
# from outside the source tree, checks that it gives the build tree's
# numbers, and uninstalls it.
# usage: pip_install_check.sh PYTHON SOURCE_DIR BUILD_DIR PROGRAM
#   BUILD_DIR keeps the pip build's CMake tree, so that a second run builds
#   only what changed.
set -euo pipefail
python=$1
source=$2
build=$3
binary=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "pip_install_check: $*" >&2
  exit 1
}

"$python" -m venv --system-site-packages "$scratch/venv"
venv_python=$scratch/venv/bin/python
(cd "$source" && "$venv_python" -m pip install --no-build-isolation --no-index --no-cache-dir \
  --quiet --config-settings "build-dir=$build" .) || fail "pip install failed"

example=$(realpath "$source/examples/ar1.dat")
# Imported from the environment, not from the source or build tree, and the
# program's numbers: its report ends the program's standard error.
check='
import os, sys
import varbloc
assert os.path.realpath(varbloc.__file__).startswith(os.path.realpath(sys.prefix)), varbloc.__file__
print(varbloc.block(varbloc.load(sys.argv[1])).report())
'
installed=$(cd "$scratch" && env -u PYTHONPATH "$venv_python" -c "$check" "$example") ||
  fail "the installed package does not import or run"
program=$(cd "$scratch" && "$binary" -o /dev/null "$example" 2>&1)
[[ -n $installed && $program == *"$installed" ]] ||
  fail "the installed package's report is not the program's"
# One version: the program's, the package's and pip's metadata.
versions=$(cd "$scratch" && env -u PYTHONPATH "$venv_python" -c \
  'import importlib.metadata as m, varbloc; print("varbloc", varbloc.__version__, m.version("varbloc"))')
[[ "$versions" == "$("$binary" --version | head -n 1) ${versions##* }" ]] ||
  fail "versions differ: package and metadata '$versions', program '$("$binary" --version | head -n 1)'"

env -u PYTHONPATH "$venv_python" -m pip uninstall --yes --quiet varbloc || fail "pip uninstall failed"
if (cd "$scratch" && env -u PYTHONPATH "$venv_python" -c 'import varbloc' 2>/dev/null); then
  fail "varbloc still imports after pip uninstall"
fi
site=$("$venv_python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
leftover=$(find "$site" -maxdepth 1 -iname 'varbloc*')
[[ -z $leftover ]] || fail "left behind after uninstall: $leftover"
echo "pip_install_check: installed, imported and uninstalled"
