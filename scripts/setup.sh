# Sourced by the other scripts: creates the project's virtual environment in
# .venv with Python 3.13 and installs the package with what the tests need.
# SIMPLEIMAGE_QUIET=0 shows the build.
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"
VENV="$ROOT/.venv"

# Debian packages, installed as root when missing (elsewhere the build and the
# tests do without them and say so): libdeflate and pkg-config for the build's
# fast inflater, pngcheck for the interop tests, zlib's header for the kernel checks.
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

packages=(libdeflate-dev pkg-config)
if [[ ",${SIMPLEIMAGE_EXTRAS:-test}," == *,test,* ]]; then
    packages+=(pngcheck zlib1g-dev)
fi
install_debian_packages "${packages[@]}"

if ! is_python313 "$VENV/bin/python"; then
    rm -rf "$VENV"
    "$(find_python313)" -m venv "$VENV"
fi
# The build runs without isolation so that its directory under build/ is reused
# and only changed sources are recompiled.
pip_install "$VENV/bin/python" scikit-build-core cmake ninja
pip_install "$VENV/bin/python" --no-build-isolation "$ROOT[${SIMPLEIMAGE_EXTRAS:-test}]"
PY="$VENV/bin/python"
