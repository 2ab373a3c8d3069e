# Sourced by the other scripts: the project root and how to find Python 3.13
# (set PYTHON to choose the interpreter).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

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

# pip install into the environment of the given interpreter; SIMPLEIMAGE_QUIET=0
# shows what it does.
pip_install() {
    local python="$1"
    shift
    if [ "${SIMPLEIMAGE_QUIET:-1}" = 1 ]; then
        "$python" -m pip install --disable-pip-version-check -q "$@"
    else
        "$python" -m pip install --disable-pip-version-check "$@"
    fi
}
