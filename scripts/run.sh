#!/usr/bin/env bash
# Installs what is needed, builds a release, installs the daemon and its
# collector under /usr and runs the daemon in the foreground until Ctrl-C.
# Run as root on Debian 12, from anywhere inside the source tree.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "run: the daemon measures every process and owns /var/lib/ferrow_monitor; run this as root" >&2
    exit 1
fi

./scripts/install-deps.sh

build=build-release
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DFERROW_SANITIZE=OFF \
    -DFERROW_BUILD_TESTS=OFF -DFERROW_BUILD_BENCH=OFF
cmake --build "$build" -j"$(nproc)"
# /usr/bin/ferrow-monitor, /usr/bin/ferrow_monitor.py and the collector's files.
cmake --install "$build" --prefix /usr

data=/var/lib/ferrow_monitor
mkdir -p "$data"
if [ ! -e "$data/setting.conf" ]; then
    # Counting on, log level 1, every audit off. The daemon never writes this file.
    cat > "$data/setting.conf" <<'EOF'
[RivletMonitor]
FERROW_COUNT_STATUS=1
LogLevel=1
FERROW_ALARM_STATUS=0
FERROW_EGRESS_ALARM_STATUS=0
FERROW_INGRESS_ALARM_STATUS=0
FERROW_ALARM_PERIOD=0
FERROW_ALARM_SIZE=0
FERROW_EGRESS_ALARM_SIZE=0
FERROW_INGRESS_ALARM_SIZE=0
EOF
    echo "run: wrote default settings to $data/setting.conf"
fi

cat <<EOF
run: starting /usr/bin/ferrow-monitor in the foreground; stop it with Ctrl-C.
     settings:   $data/setting.conf (watched; edit it while the daemon runs)
     log:        $data/ferrow.log
     documents:  $data/app_info and $data/process_info (rewritten every 5 s)
     database:   $data/ferrow.db (written every minute and at stop)
     e.g. in another terminal:  watch -n 5 cat $data/app_info
EOF
exec /usr/bin/ferrow-monitor
