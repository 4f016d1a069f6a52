# Sourced from the repository root by the scripts that build, test or
# benchmark: the Python they install into and run, PYTHON, is the active
# virtual environment's or, outside one, that of build/venv, made here on
# first use (some interpreters, Debian's own, refuse installs outside an
# environment). build/venv's scripts come first on PATH, so the cmake and
# ninja installed there from requirements-dev.txt are the ones that run.

PYTHON=${PYTHON:-python3}

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; elif command -v sudo >/dev/null 2>&1; then sudo "$@"; else "$@"; fi
}

apt_install() {
  as_root apt-get update -q
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@"
}

if [ -z "${VIRTUAL_ENV:-}" ]; then
  if [ ! -x build/venv/bin/python ]; then
    if ! "$PYTHON" -m venv build/venv; then
      rm -rf build/venv
      apt_install python3-venv  # Debian's Python keeps venv's pip apart
      "$PYTHON" -m venv build/venv
    fi
  fi
  PYTHON=$PWD/build/venv/bin/python
  PATH=$PWD/build/venv/bin:$PATH
fi
