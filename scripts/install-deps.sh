#!/usr/bin/env bash
# Installs every Debian package needed to build, test and run ferrow-monitor.
# Quick when everything is present already: apt is only called for what is missing.
set -euo pipefail

packages=(
    # build
    build-essential cmake pkg-config
    qtbase5-dev qtbase5-dev-tools
    libsqlite3-dev libcjson-dev libdpkg-dev
    # collector: eBPF program built with clang, loaded through libbpf
    clang libbpf-dev libbpf1
    # sanitizer and libFuzzer runtimes for clang
    libclang-rt-14-dev
    # run time
    python3 dbus-daemon
    # tests: private bus services, network namespaces, process tools
    python3-dbus python3-gi iproute2 util-linux procps iputils-ping tzdata
    # tests: short-lived download tools whose program the reports must name
    curl wget
    # tests: the collector on Debian 12's own kernel under qemu's software emulation (vmtest/)
    qemu-system-x86 busybox-static
    # the Debian package (scripts/build-deb.sh, the run command): dpkg-buildpackage with
    # debhelper (dh-python byte-compiles the collector at installation); lintian checks
    # the result in the tests
    dpkg-dev debhelper dh-python lintian
    # tests: a booted Debian 12 for the package (vmtest/run-in-debian12.py): its root file
    # system made with debootstrap, packed into an ext4 image with mkfs.ext4 -d
    debootstrap e2fsprogs
    # tests: a steered wall clock for the daemon alone
    faketime
    # tests: ferrowctl's metrics file read back by the Prometheus text-format parser
    python3-prometheus-client
    # benchmarks: the per-process monitor bench/lean/bench_side_by_side.py runs beside the daemon
    nethogs
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present"
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages: ${missing[*]}; run this script as root" >&2
    exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
