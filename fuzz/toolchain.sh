# Sourced by fuzz/run and fuzz/native/run: clang 14 with its sanitizer and
# libFuzzer runtimes (installed with apt-get when missing and running as root),
# and the virtual environment .venv-fuzz with CMake and Ninja, plus any Python
# packages named.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/python.sh"

FUZZ_VENV="$ROOT/.venv-fuzz"
FUZZ_PY="$FUZZ_VENV/bin/python"
SEEDS="${SIMPLEIMAGE_CORPUS:-$ROOT/../shared/corpus}"
CLANG_PACKAGES=(clang-14 libclang-rt-14-dev)

install_clang() {
    command -v clang++-14 >/dev/null 2>&1 && return 0
    if [ "$(id -u)" != 0 ]; then
        echo "error: clang++-14 is missing; install ${CLANG_PACKAGES[*]}" >&2
        return 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${CLANG_PACKAGES[@]}" >/dev/null
}

prepare_fuzz_venv() {
    is_python313 "$FUZZ_PY" || "$(find_python313)" -m venv "$FUZZ_VENV"
    pip_install "$FUZZ_PY" cmake ninja "$@"
}
