#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the Debian packages as an integrator meets them.
# Usage: scripts/test-packages.sh [--arch amd64|arm64]   (default amd64)
# amd64, the machine's own: builds the packages (scripts/package.sh), runs
# lintian (no error allowed), installs them, runs the installed orva-host,
# builds the out-of-tree worker in docs/examples/worker against the
# installed liborva-api-dev through find_package(OrvaApi) and through
# pkg-config orva-api, runs it in the installed orva-host, checks the installed
# orva-automount (its conffile, udev rule and unit), and removes the
# packages again. Needs root (or sudo) and a machine without them installed.
# arm64: builds the packages, runs lintian, and checks that they say
# Architecture: arm64 and that every ELF file in them is AArch64.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

arch=$(arch_option "$@")
PACKAGES=(liborva-cb-storagelink liborva-api0 liborva-api-dev orva-host orva-automount)


fail() {
    echo "error: $*" >&2
    exit 1
}

start=$SECONDS
scripts/package.sh --arch "$arch"
built=$SECONDS
debs=()
for p in "${PACKAGES[@]}"; do
    debs+=("dist/${p}_$(dpkg-deb -f "dist/${p}_"*"_$arch.deb" Version)_$arch.deb")
    case "$p" in
    liborva-api-dev) ;;
    *) debs+=("dist/${p}-dbgsym_"*"_$arch.deb") ;;
    esac
done
for deb in "${debs[@]}"; do
    [ -f "$deb" ] || fail "package $deb is missing"
done

ensure_packages lintian
echo "== lintian"
# Errors fail; warnings and the rest are shown.
lintian --fail-on error --display-level '>=warning' "${debs[@]}" 2>&1 |
    grep -v '^running with root privileges' || true
lintian --fail-on error "${debs[@]}" >/dev/null 2>&1 || fail "lintian reports errors"
linted=$SECONDS

work=$(mktemp -d)
cleanup_work() { rm -rf "$work"; }
trap cleanup_work EXIT

if [ "$arch" = arm64 ]; then
    echo "== arm64 packages"
    for deb in "${debs[@]}"; do
        expected=arm64
        [ "$(dpkg-deb -f "$deb" Architecture)" = "$expected" ] ||
            fail "$deb: Architecture is $(dpkg-deb -f "$deb" Architecture), not $expected"
        tree="$work/$(basename "$deb" .deb)"
        dpkg-deb -x "$deb" "$tree"
        elves=0
        while IFS= read -r -d '' f; do
            if file -b "$f" | grep -q '^ELF'; then
                check_aarch64_elf "$f" >/dev/null || fail "$deb: ${f#"$tree"} is no AArch64 ELF file"
                elves=$((elves + 1))
            fi
        done < <(find "$tree" -type f -print0)
        echo "$(basename "$deb"): Architecture: $expected, $elves AArch64 ELF files"
        case "$deb" in
        *liborva-api-dev_*) ;;
        *) [ "$elves" -gt 0 ] || fail "$deb holds no ELF file" ;;
        esac
    done
    echo "arm64 packages: build $((built - start)) s, lintian $((linted - built)) s," \
        "checks $((SECONDS - linted)) s"
    exit 0
fi

[ "$arch" = "$(dpkg --print-architecture)" ] || fail "only the machine's own packages can be installed"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
for p in "${PACKAGES[@]}"; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
        fail "$p is installed already; remove it first (this test installs and removes it)"
    fi
done

# Whatever happens, the machine is left without the packages.
remove_packages() {
    local installed=() p
    for p in "${PACKAGES[@]}" "${PACKAGES[@]/%/-dbgsym}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' && installed+=("$p")
    done
    if ((${#installed[@]})); then
        echo "== removing ${installed[*]}"
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get purge -y -qq "${installed[@]}" >/dev/null
    fi
}
trap 'remove_packages; cleanup_work' EXIT

echo "== installing"
"${sudo[@]}" apt-get update -qq
# apt reads the local files as root; its notice that the _apt user cannot is noise.
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${debs[@]/#/./}" 2>&1 | grep -E '^(E|W):' | grep -v "couldn't be accessed by user '_apt'" || true
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || fail "$p did not install"
done
installed_at=$SECONDS

version=$(dpkg-query -W -f='${Version}' orva-host)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
echo "== installed orva-host $version"
[ "$(command -v orva-host)" = /usr/bin/orva-host ] || fail "orva-host is not /usr/bin/orva-host"
[ "$(orva-host --version)" = "orva-host $version" ] ||
    fail "orva-host --version says '$(orva-host --version)', the package $version"
gzip -t /usr/share/man/man1/orva-host.1.gz || fail "no man page orva-host.1.gz"
plugin="/usr/lib/$multiarch/orva/workers/liborva_cb_storagelink.so"
# (/lib is /usr/lib on Debian 12: compare where the paths lead.)
found=$(ldd "$plugin" | sed -n 's/^[[:space:]]*liborva_api\.so\.0 => \([^ ]*\) .*/\1/p')
if [ -z "$found" ] ||
    [ "$(readlink -f "$found")" != "$(readlink -f "/usr/lib/$multiarch/liborva_api.so.0")" ]; then
    fail "the installed plug-in finds liborva_api.so.0 at '${found}', not the installed one"
fi

echo "== installed orva-automount"
/usr/sbin/orva-automount --help >/dev/null || fail "the installed orva-automount --help failed"
dpkg-query --control-show orva-automount conffiles | grep -qx /etc/default/orva-automount ||
    fail "/etc/default/orva-automount is no conffile"
[ -f /usr/lib/udev/rules.d/99-orva-automount.rules ] || fail "no udev rule 99-orva-automount.rules"
if command -v systemd-tmpfiles >/dev/null; then
    [ -d /run/orva/storage ] || fail "installing orva-automount did not make /run/orva/storage"
fi
grep -qx 'ExecStart=/usr/sbin/orva-automount serve' \
    /usr/lib/systemd/system/orva-automount.service || fail "the service does not run /usr/sbin/orva-automount"
[ "$(readlink -f /etc/systemd/system/multi-user.target.wants/orva-automount.service)" = \
    /usr/lib/systemd/system/orva-automount.service ] ||
    fail "installing orva-automount did not enable orva-automount.service"
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify --man=no /usr/lib/systemd/system/orva-automount.service ||
        fail "systemd-analyze verify finds fault with orva-automount.service"
fi

echo "== orva-host --demo --step-ms 200"
(cd "$work" && timeout -s KILL 120 orva-host --demo --step-ms 200) >"$work/demo.log" 2>&1 || {
    cat "$work/demo.log" >&2
    fail "the installed orva-host failed its demo"
}
grep -q 'USB1' "$work/demo.log" || fail "the demo shows no link USB1"
echo "demo ran: $(grep -c . "$work/demo.log") lines of output"

# The example logging set-up writes orva-host.log in the current directory.
(cd "$work" && timeout -s KILL 60 orva-host --demo --step-ms 0 --json \
    --log-config "/usr/share/doc/orva-host/examples/orva-host.properties") \
    >"$work/demo.json" 2>&1 || fail "orva-host with the example log4cplus properties failed"
grep -q 'Watching path' "$work/orva-host.log" || fail "the example properties file logged nothing"

# Runs PLUGIN in the installed orva-host; fails unless the tree shows the
# out-of-tree worker's node and the text its slot sets.
run_worker() {
    local plugin="$1" how="$2" out="$work/$2.json"
    timeout -s KILL 60 orva-host --json --demo --step-ms 0 "$plugin" >"$out" 2>"$out.err" || {
        cat "$out.err" >&2
        fail "orva-host cannot run the worker built through $how"
    }
    grep -q '"title":"Out-of-tree worker"' "$out" || fail "no node of the worker built through $how"
    grep -q '"description":"greeted from the event loop"' "$out" ||
        fail "the slot of the worker built through $how did not run"
    local last
    last=$(tail -n 1 "$out")
    [[ "$last" == *'"event":"exit"'* && "$last" == *'"code":0'* ]] ||
        fail "orva-host did not end cleanly: $last"
    echo "worker built through $how: loaded, its slot ran"
}

# A copy outside the project, so that only the installed files can be found.
cp -r docs/examples/worker "$work/src"

echo "== out-of-tree worker through find_package(OrvaApi)"
cmake -S "$work/src" -B "$work/cmake" -G Ninja >"$work/cmake.log" 2>&1 || {
    cat "$work/cmake.log" >&2
    fail "configuring the worker against the installed OrvaApi failed"
}
grep -F "OrvaApi $version from /usr/lib/$multiarch/cmake/OrvaApi" "$work/cmake.log" ||
    fail "the worker did not find the installed OrvaApi $version"
cmake --build "$work/cmake" >/dev/null || fail "building the worker against Orva::Api failed"
run_worker "$work/cmake/liborva_hello.so" cmake
# The version file must refuse a newer major version.
if cmake -S "$work/src" -B "$work/cmake-v9" -G Ninja -DORVA_API_WANTED=9.0 >"$work/v9.log" 2>&1; then
    fail "find_package(OrvaApi 9.0) accepted the installed $version"
fi
grep -q 'compatible with requested version "9.0"' "$work/v9.log" || {
    cat "$work/v9.log" >&2
    fail "find_package(OrvaApi 9.0) failed for another reason than the version"
}

echo "== out-of-tree worker through pkg-config orva-api"
[ "$(pkg-config --modversion orva-api)" = "$version" ] || fail "pkg-config orva-api is not $version"
read -r -a cflags <<<"$(pkg-config --cflags orva-api)"
read -r -a libs <<<"$(pkg-config --libs orva-api)"
moc="$(pkg-config --variable=host_bins Qt5Core)/moc"
mkdir -p "$work/pc"
"$moc" -DQT_NO_KEYWORDS "${cflags[@]}" "$work/src/helloworker.h" -o "$work/pc/moc_helloworker.cpp"
g++ -std=c++17 -fPIC -shared -fvisibility=hidden -DQT_NO_KEYWORDS -Wall -Wextra -Werror \
    "${cflags[@]}" -I"$work/src" "$work/src/helloworker.cpp" "$work/pc/moc_helloworker.cpp" \
    -o "$work/pc/liborva_hello.so" -Wl,--no-undefined "${libs[@]}" ||
    fail "building the worker with pkg-config orva-api failed"
run_worker "$work/pc/liborva_hello.so" pkg-config
checked=$SECONDS

remove_packages
for p in "${PACKAGES[@]}"; do
    ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || fail "$p is still installed"
done
[ ! -e /usr/include/orva ] || fail "/usr/include/orva is left behind"
[ ! -e /etc/default/orva-automount ] || fail "/etc/default/orva-automount is left behind"
echo "Packages: build $((built - start)) s, lintian $((linted - built)) s," \
    "install $((installed_at - linted)) s, checks $((checked - installed_at)) s," \
    "removal $((SECONDS - checked)) s"
