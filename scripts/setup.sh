# Sourced by the other scripts: finds Python 3.13, creates the project's virtual
# environment in .venv and installs the package with what the tests need.
# Set PYTHON to choose the interpreter; SIMPLEIMAGE_QUIET=0 shows the build.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

is_python313() {
    "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1
}

find_python313() {
    local candidates=("${PYTHON:-}" python3.13)
    if command -v pyenv >/dev/null 2>&1; then
        candidates+=("$(pyenv root)"/versions/3.13*/bin/python3.13)
    fi
    candidates+=("$HOME"/.pyenv/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13
                 /usr/bin/python3.13 python3)
    local candidate
    for candidate in "${candidates[@]}"; do
        if [ -n "$candidate" ] && is_python313 "$candidate"; then
            command -v "$candidate"
            return 0
        fi
    done
    echo "error: Python 3.13 not found; install it or set PYTHON=/path/to/python3.13" >&2
    return 1
}

pip_quietly() {
    if [ "${SIMPLEIMAGE_QUIET:-1}" = 1 ]; then
        "$VENV/bin/python" -m pip install --disable-pip-version-check -q "$@"
    else
        "$VENV/bin/python" -m pip install --disable-pip-version-check "$@"
    fi
}

# The interop tests validate the PNG files we write with pngcheck. As root it is
# installed here when missing; elsewhere those tests are skipped and say why.
install_pngcheck() {
    if command -v pngcheck >/dev/null 2>&1 || [ "$(id -u)" != 0 ] \
            || ! command -v apt-get >/dev/null 2>&1; then
        return 0
    fi
    if ! { DEBIAN_FRONTEND=noninteractive apt-get update -qq \
            && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pngcheck; } >/dev/null; then
        echo "warning: pngcheck could not be installed; the interop tests will be skipped" >&2
    fi
}

if [[ ",${SIMPLEIMAGE_EXTRAS:-test}," == *,test,* ]]; then
    install_pngcheck
fi

if ! is_python313 "$VENV/bin/python"; then
    rm -rf "$VENV"
    "$(find_python313)" -m venv "$VENV"
fi
# The build runs without isolation so that its directory under build/ is reused
# and only changed sources are recompiled.
pip_quietly scikit-build-core cmake ninja
pip_quietly --no-build-isolation "$ROOT[${SIMPLEIMAGE_EXTRAS:-test}]"
PY="$VENV/bin/python"
