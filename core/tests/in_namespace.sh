#!/bin/sh
# Runs a program with the daemon's fixed paths redirected, without touching
# the machine's own files:
#   in_namespace.sh WORKDIR DATADIR COLLECTOR KEEPDIR PROGRAM [ARGUMENTS...]
# In private mount and IPC namespaces, /tmp is a fresh tmpfs, DATADIR is seen
# at /var/lib/ferrow_monitor and the file COLLECTOR at /usr/bin/ferrow_monitor.py.
# WORKDIR and KEEPDIR (for example the build directory) stay visible at their
# paths when they lie under /tmp. Other programs join the namespaces with
# nsenter --target <pid> --mount --ipc once /tmp/.in_namespace_ready exists
# inside. A mount point that does not exist on
# the machine is made in a private overlay layer (in WORKDIR), never on the
# machine itself.
exec unshare --mount --ipc --propagation private -- /bin/sh -e -c '
work=$1 data=$2 collector=$3 keepdir=$4
shift 4

# Makes $1/$3 (kind $2: dir or file) exist inside this namespace only.
mount_point() {
    parent=$1 kind=$2 name=$3
    [ -e "$parent/$name" ] && return 0
    # One layer per namespace: WORKDIR may serve several in turn.
    layer=$work/layer$(echo "$parent" | tr / _)-$$
    mkdir -p "$layer/upper" "$layer/work"
    if [ "$kind" = dir ]; then mkdir "$layer/upper/$name"; else : > "$layer/upper/$name"; fi
    mount -t overlay overlay -o "lowerdir=$parent,upperdir=$layer/upper,workdir=$layer/work" "$parent"
}

mount_point /var/lib dir ferrow_monitor
mount_point /usr/bin file ferrow_monitor.py
mount --bind "$data" /var/lib/ferrow_monitor
mount --bind "$collector" /usr/bin/ferrow_monitor.py

# The working directory keeps the old /tmp reachable after the new one covers it.
cd /tmp
mount -t tmpfs -o mode=1777 tmpfs /tmp
for keep in "$work" "$keepdir"; do
    case $keep in
    /tmp/?*)
        relative=${keep#/tmp/}
        mkdir -p "/tmp/$relative"
        mount --no-canonicalize --bind "./$relative" "/tmp/$relative"
        ;;
    esac
done
cd /
# Every mount is in place: joiners may start now.
: > /tmp/.in_namespace_ready
exec "$@"
' in_namespace "$@"
