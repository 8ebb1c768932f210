#!/usr/bin/env bash
# Installs the Debian packages varbloc needs to build and test, when missing.
# As root it runs apt-get itself; otherwise it prints the line to run.
set -euo pipefail

packages=(cmake g++ make libgtest-dev libfast-float-dev nlohmann-json3-dev gzip groff-base "$@")
# The Python module: pybind11 and NumPy for building it, venv for installing
# it with pip into a virtual environment, pytest, pandas and Dask (with its
# distributed scheduler) for its tests,
# German and French locales for the test that they change nothing.
packages+=(python3-dev pybind11-dev python3-pybind11 python3-numpy python3-venv python3-pytest
  python3-pandas python3-dask python3-distributed locales-all)
# varbloc-plot draws with gnuplot; the tests of the README recipes decompress.
packages+=(gnuplot-nox zstd xz-utils bzip2)
missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -eq 0 ]]; then
  echo "setup: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
else
  echo "setup: missing packages; install them with:" >&2
  echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
