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

packages=(libdeflate-dev pkg-config)
if [[ ",$EXTRAS," == *,test,* ]]; then
    packages+=(pngcheck zlib1g-dev)
fi
install_debian_packages "${packages[@]}"

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
