# Shared set-up for the project's scripts: sourced, not run.
# Installs what a fresh machine lacks (Debian packages, a CPython 3.13 virtual
# environment with the build and test tools and the packages of every extra)
# and exports ROOT, VENV and PY.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

find_python313() {
  local candidate
  if command -v pyenv >/dev/null 2>&1; then
    candidate="$(pyenv prefix 3.13.0 2>/dev/null || true)/bin/python3.13"
    [ -x "$candidate" ] && { echo "$candidate"; return; }
    candidate="$(pyenv prefix 3.13 2>/dev/null || true)/bin/python3.13"
    [ -x "$candidate" ] && { echo "$candidate"; return; }
  fi
  for candidate in "$HOME/.pyenv/versions/3.13.0/bin/python3.13" "$(command -v python3.13 || true)"; do
    [ -n "$candidate" ] && [ -x "$candidate" ] && { echo "$candidate"; return; }
  done
  echo "error: CPython 3.13 not found (tried pyenv and python3.13 on PATH)" >&2
  return 1
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_debian_packages() {
  # chromium and its driver: the map page's test runs in a real browser;
  # wrk: the timing client of bench/serve_load.py
  local wanted=(g++ libgtest-dev libbenchmark-dev chromium chromium-driver wrk) missing=()
  local package
  for package in "${wanted[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "== installing Debian packages: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

make_venv() {
  if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))'; then
    echo "== creating $VENV with CPython 3.13"
    rm -rf "$VENV"
    "$(find_python313)" -m venv "$VENV"
  fi
  local missing
  missing="$(missing_requirements)"
  if [ -n "$missing" ]; then
    echo "== installing build tools, test tools and the extras' packages into $VENV"
    # shellcheck disable=SC2086  # one requirement a word
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check $missing
  fi
}

# pyproject.toml names what the build, the tests and the extras need (the
# documentation's extra, docs, included); this lists the requirements whose
# distribution the venv lacks.
missing_requirements() {
  "$VENV/bin/python" - "$ROOT/pyproject.toml" <<'PY'
import re
import sys
import tomllib
from importlib.metadata import PackageNotFoundError, distribution

with open(sys.argv[1], "rb") as stream:
    project = tomllib.load(stream)
name = project["project"]["name"]
wanted = (project["build-system"]["requires"] + ["cmake", "ninja"]
          + project["project"]["dependencies"])
for requirements in project["project"]["optional-dependencies"].values():
    wanted += [r for r in requirements if not r.startswith(name)]
for requirement in wanted:
    try:
        distribution(re.match(r"[A-Za-z0-9._-]+", requirement).group(0))
    except PackageNotFoundError:
        print(requirement)
PY
}

install_debian_packages
make_venv
export PATH="$VENV/bin:$PATH"
PY="$VENV/bin/python"
export ROOT VENV PY
