#!/usr/bin/env bash
# Installs what is needed, builds the Debian package (build-deb/), installs it with
# apt and runs the daemon:
#  - where systemd is the init (/run/systemd/system exists), as the ferrow-monitor
#    service: enabled, started, and `ferrowctl status` printed once it counts;
#  - elsewhere (a container, a chroot), in the foreground until Ctrl-C.
# Run as root on Debian 12, from anywhere inside the source tree.
#
# Exit codes: 0 started (service) or stopped cleanly (foreground); 1 failure;
# 3 another ferrow-monitor daemon is running already, and none is started beside it.
set -euo pipefail
cd "$(dirname "$0")/.."

data=/var/lib/ferrow_monitor
lock=$data/ferrow-monitor.lock
unit=ferrow-monitor.service
EXIT_RUNNING=3

if [ "$(id -u)" -ne 0 ]; then
    echo "run: the daemon measures every process and owns $data; run this as root" >&2
    exit 1
fi

if [ -d /run/systemd/system ]; then
    systemd=yes
else
    systemd=no
fi

# The pid of the daemon holding its single-instance lock, or nothing. The daemon
# holds the lock while it runs; the test takes it for an instant when it is free.
daemon_pid() {
    [ -f "$lock" ] || return 0
    if ! flock -n "$lock" true 2>/dev/null; then
        pgrep -o -x ferrow-monitor || echo "?"
    fi
}

# A daemon started beside a running one would only be refused by its guard; under
# systemd, the service itself may run (installing the package restarts it).
refuse_second_daemon() {
    local pid service_pid=0
    pid=$(daemon_pid)
    [ -n "$pid" ] || return 0
    if [ "$systemd" = yes ]; then
        service_pid=$(systemctl show -p MainPID --value "$unit" 2>/dev/null || echo 0)
        [ "$pid" = "$service_pid" ] && return 0
    fi
    if [ "$systemd" = yes ]; then
        echo "run: a ferrow-monitor daemon is running already (pid $pid), outside the $unit service" >&2
    else
        echo "run: a ferrow-monitor daemon is running already (pid $pid)" >&2
    fi
    echo "run: not starting a second daemon beside it; see 'ferrowctl status', and stop it first (exit $EXIT_RUNNING)" >&2
    exit "$EXIT_RUNNING"
}

refuse_second_daemon

./scripts/install-deps.sh
deb=$(nice -n 10 ./scripts/build-deb.sh build-deb | tail -n 1)
echo "run: installing $deb"
# --reinstall: a rebuilt package of the same version replaces the installed one.
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall --no-install-recommends "$(realpath "$deb")"

if [ "$systemd" = yes ]; then
    # The package enables and starts the service; this also starts one left disabled.
    systemctl enable --now "$unit"
    echo "run: $unit is $(systemctl is-active "$unit"); waiting for its first figures"
    for _ in $(seq 1 40); do
        [ -s "$data/app_info" ] && break
        sleep 0.5
    done
    ferrowctl status || true
    cat <<EOF

run: the daemon runs as the $unit service and starts with the system.
     live figures:    ferrowctl live          (top: ferrowctl top; history: ferrowctl hours)
     its messages:    journalctl -u ferrow-monitor
     stop / start:    systemctl stop ferrow-monitor / systemctl start ferrow-monitor
EOF
    exit 0
fi

refuse_second_daemon
cat <<EOF
run: systemd is not the init here: running /usr/bin/ferrow-monitor in the foreground; stop it with Ctrl-C.
     settings:   $data/setting.conf (watched; edit it while the daemon runs)
     log:        $data/ferrow.log
     documents:  $data/app_info and $data/process_info (rewritten every 5 s)
     database:   $data/ferrow.db (written every minute and at stop)
     in another terminal:  ferrowctl status, ferrowctl live
EOF
exec /usr/bin/ferrow-monitor
