# Shared by the scripts of this folder; source it, do not run it.

# Installs the given Debian packages that are not installed yet.
ensure_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing: ${missing[*]}" >&2
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The packages every build needs (Google Benchmark so that orva-bench keeps compiling).
BASE_PACKAGES=(cmake ninja-build g++ make pkg-config file qtbase5-dev liblog4cplus-dev
    libbenchmark-dev)
