# Sourced by the other scripts: the project root, how to find Python 3.13 (set
# PYTHON to choose the interpreter), pip, and the Debian packages the build needs.
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

# Debian packages, installed as root when missing; elsewhere the build and the
# tests do without them and say so.
install_debian_packages() {
    local missing=() package
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    if [ ${#missing[@]} -eq 0 ] || [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
        return 0
    fi
    if ! { DEBIAN_FRONTEND=noninteractive apt-get update -qq \
            && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"; } >/dev/null; then
        echo "warning: could not install ${missing[*]}" >&2
    fi
}

# What building the extension needs: a C++ compiler, and libdeflate found
# through pkg-config, with which the writers' deflate checks its streams
# (without it saves go through zlib.compress and the build says so); further
# packages may be named.
install_build_packages() {
    local packages=(libdeflate-dev pkg-config "$@")
    command -v c++ >/dev/null 2>&1 || packages+=(g++)
    install_debian_packages "${packages[@]}"
}
