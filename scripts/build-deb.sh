#!/usr/bin/env bash
# Builds the Debian package from a copy of the source tree, so that the tree itself
# stays clean:
#
#   scripts/build-deb.sh [--lintian] OUTDIR
#
# Leaves OUTDIR/ferrow-monitor_<version>_<arch>.deb with its .changes and .buildinfo,
# and prints the path of the .deb as its last line. The copy (OUTDIR/source) keeps
# its CMake build directory between runs, so a second build only compiles what
# changed. With --lintian the result is checked with `lintian -I -E --pedantic`, and
# an error or a warning fails the build. Needs the build dependencies of
# debian/control (scripts/install-deps.sh installs them).
set -euo pipefail

lintian=no
if [ "${1:-}" = "--lintian" ]; then
    lintian=yes
    shift
fi
if [ $# -ne 1 ]; then
    echo "usage: scripts/build-deb.sh [--lintian] OUTDIR" >&2
    exit 2
fi
src=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)
copy=$out/source

# The files of the tree: tracked and untracked but not ignored ones when it is a git
# checkout (build directories are ignored), else everything but build directories.
list_files() {
    if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git -C "$src" ls-files -z --cached --others --exclude-standard |
            while IFS= read -r -d '' f; do [ -e "$src/$f" ] && printf '%s\0' "$f"; done
    else
        (cd "$src" && find . -path './build*' -prune -o -path ./.git -prune -o \
            \( -type f -o -type l \) -printf '%P\0')
    fi
}

mkdir -p "$copy"
# Everything but the CMake build directory goes: files deleted from the tree must
# not linger in the copy. tar keeps modification times, so make rebuilds only what
# changed.
find "$copy" -mindepth 1 -maxdepth 1 ! -name 'obj-*' -exec rm -rf {} +
list_files | tar -C "$src" --null -T - -cf - | tar -C "$copy" -xf -
rm -f "$out"/ferrow-monitor_* "$out"/ferrow-monitor-dbgsym_*

cd "$copy"
export DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}"
# -nc: keep the build directory of the previous run (see above).
dpkg-buildpackage -us -uc -b -nc
changes=$(ls "$out"/ferrow-monitor_*.changes)
deb=$(ls "$out"/ferrow-monitor_*.deb)
if [ "$lintian" = yes ]; then
    echo "build-deb: lintian -I -E --pedantic $(basename "$changes")"
    lintian -I -E --pedantic --fail-on error,warning "$changes"
fi
echo "$deb"
