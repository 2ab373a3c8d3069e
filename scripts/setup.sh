# Sourced by the other scripts: creates the project's virtual environment in
# .venv with Python 3.13 and installs the package with the extras named in
# SIMPLEIMAGE_EXTRAS (comma-separated; "test" when unset, none when empty).
# The install is skipped while a stamp in .venv says that the same sources were
# installed with those extras; delete .venv to start afresh. SIMPLEIMAGE_QUIET=0
# shows the build.
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"
VENV="$ROOT/.venv"
PY="$VENV/bin/python"
EXTRAS="${SIMPLEIMAGE_EXTRAS-test}"
STAMP="$VENV/.corvane-installed"

# A digest of everything the install is made from: the sources of the package
# and the extension, the build files, and the settings that change the build.
source_digest() {
    (
        cd "$ROOT"
        find src cmake CMakeLists.txt pyproject.toml \( -name __pycache__ -o -name '*.egg-info' \) \
            -prune -o -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum
        env | grep -E '^(SIMPLEIMAGE_[A-Z_]+|CC|CXX|CFLAGS|CXXFLAGS|LDFLAGS|CMAKE_[A-Z_]+)=' \
            | grep -vE '^SIMPLEIMAGE_(QUIET|EXTRAS|FUZZ_SECONDS)=' | LC_ALL=C sort || true
    ) | sha256sum | cut -d' ' -f1
}

# Whether the stamp names this digest and every extra asked for.
up_to_date() {
    local digest="$1" stamped="" stamped_extras="" extra
    [ -f "$STAMP" ] || return 1
    { read -r stamped; read -r stamped_extras; } < "$STAMP" || true
    [ "$stamped" = "$digest" ] || return 1
    for extra in ${EXTRAS//,/ }; do
        [[ ",$stamped_extras," == *",$extra,"* ]] || return 1
    done
}

# pngcheck for the interop tests, zlib's header for the kernel checks.
test_packages=()
if [[ ",$EXTRAS," == *,test,* ]]; then
    test_packages=(pngcheck zlib1g-dev)
fi
install_build_packages "${test_packages[@]}"

if ! is_python313 "$PY"; then
    rm -rf "$VENV"
    "$(find_python313)" -m venv "$VENV"
fi

DIGEST="$(source_digest)"
if ! up_to_date "$DIGEST"; then
    # Extras installed earlier from the same sources stay installed.
    all_extras="$EXTRAS"
    if [ -f "$STAMP" ] && [ "$(head -n1 "$STAMP")" = "$DIGEST" ]; then
        all_extras="$(sed -n 2p "$STAMP"),$EXTRAS"
    fi
    rm -f "$STAMP"
    # The build runs without isolation so that its directory under build/ is
    # reused and only changed sources are recompiled.
    pip_install "$PY" scikit-build-core cmake ninja
    pip_install "$PY" --no-build-isolation "$ROOT${EXTRAS:+[$EXTRAS]}"
    printf '%s\n%s\n' "$DIGEST" "$(tr ',' '\n' <<<"$all_extras" | grep -v '^$' | sort -u | paste -sd,)" > "$STAMP"
fi
