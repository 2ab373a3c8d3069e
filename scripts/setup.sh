# Sourced by the other scripts: creates the project's virtual environment in
# .venv with Python 3.13 and installs the package with what the tests need.
# SIMPLEIMAGE_QUIET=0 shows the build.
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"
VENV="$ROOT/.venv"

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
pip_install "$VENV/bin/python" scikit-build-core cmake ninja
pip_install "$VENV/bin/python" --no-build-isolation "$ROOT[${SIMPLEIMAGE_EXTRAS:-test}]"
PY="$VENV/bin/python"
