#!/usr/bin/python3
"""Runs one command inside a booted Debian 12 system: stock kernel, systemd as init.

    vmtest/run-in-debian12.py --cache DIR [options] -- COMMAND [ARGS...]

Where run-in-vm.py lends the guest the host's own root, this boots a Debian 12
(bookworm) root file system of its own, built with debootstrap from the Debian
archive, with systemd as process 1. The guest has no network card: everything the
command needs is in the image (--include, --include-depends-of) or in the files
given with --file, which the guest sees read-only in /vmtest (the command's working
directory). The command runs as root from a service started once the system is up
(`systemctl is-system-running --wait`); its output and exit code come back as with
run-in-vm.py, and so do the runner's own exit codes (250 no boot, 251 timeout,
252 qemu cannot start here, with one "vmtest: SKIP: ..." line).

Options:
  --cache DIR              the kernel cache shared with run-in-vm.py (required)
  --image-cache DIR        where root file systems are kept
                           (default /var/cache/ferrow-monitor-vmtest)
  --include PKG            a package to put into the image (repeatable)
  --include-depends-of DEB the packages DEB depends on go into the image as well
                           (the first of each set of alternatives), so that
                           `apt-get install ./DEB` needs no network in the guest
  --file PATH              a file copied into the guest's /vmtest (repeatable)
  --env NAME=VALUE, --timeout S, --boot-timeout S, --memory MIB, --smp N, --console
                           as for run-in-vm.py

The image cache, DIR/<key>/ (key: a hash of the suite, the mirror, the package list,
the kernel release and IMAGE_VERSION below, so a change of any of them builds a new
image and an unchanged set finds the old one):
  root.img   a raw ext4 image of the debootstrapped system, with the cached kernel's
             modules (and their modules.dep, from the guest's own depmod), apt's package
             cache, a fixed machine id, the periodic jobs of a real server (apt, fstrim,
             ...) and logind masked, and the service that runs the command
  inputs.json  what the key was made of
  READY      written last: a directory without it is built again
The guest writes to a throw-away copy (qemu's snapshot mode): the cached image is
never changed by a run. Images of other keys unused for 14 days are deleted.
"""

import argparse
import hashlib
import importlib.util
import json
import os
import re
import secrets
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import fcntl
import glob

HERE = os.path.dirname(os.path.abspath(__file__))
_spec = importlib.util.spec_from_file_location("run_in_vm", os.path.join(HERE, "run-in-vm.py"))
vm = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(vm)

# Bump when the way an image is made changes: old images are then not reused.
IMAGE_VERSION = 2
SUITE = "bookworm"
MIRROR = "http://deb.debian.org/debian"
DEFAULT_IMAGE_CACHE = "/var/cache/ferrow-monitor-vmtest"
IMAGE_SIZE = "3G"
PRUNE_AFTER_DAYS = 14

# A minimal system that boots with systemd, plus the tools a test inside uses.
BASE_PACKAGES = ["systemd", "systemd-sysv", "udev", "dbus", "kmod", "procps", "iproute2", "python3"]

# The guest's disk and the share holding the command, as the initramfs mounts them.
DISK_MODULES = ["virtio_pci", "virtio_blk", "crc32c_generic", "ext4", "9pnet_virtio", "9p"]

# Periodic jobs of a real server that would only compete with the test for the CPUs.
MASKED_UNITS = ["apt-daily.timer", "apt-daily-upgrade.timer", "dpkg-db-backup.timer",
                "e2scrub_all.timer", "e2scrub_reap.service", "fstrim.timer",
                "getty@tty1.service", "serial-getty@ttyS0.service", "systemd-pstore.service",
                # No one logs in: logind only holds up multi-user.target.
                "systemd-logind.service"]

RUNNER_UNIT = """[Unit]
Description=Run the vmtest command
After=multi-user.target
ConditionPathExists=/vmtest/.job

[Service]
Type=exec
ExecStart=/bin/sh /vmtest/.job
StandardInput=null
StandardOutput=journal

[Install]
WantedBy=multi-user.target
"""

STAGE1 = r"""#!/bin/busybox sh
# In the initramfs: mount the image and the command's share, then hand over to systemd.
/bin/busybox --install -s
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
fail() {
    echo "vmtest-init: $*"
    stty -F /dev/ttyS1 raw -echo 2>/dev/null
    echo "@@VMTEST-FAIL @NONCE@ $*@@" > /dev/ttyS1
    echo o > /proc/sysrq-trigger
    sleep 30
}
for m in @MODULES@; do
    insmod /modules/$m.ko || fail "insmod $m failed"
done
i=0
while [ ! -b /dev/vda ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
mkdir -p /mnt/root
mount -t ext4 -o rw /dev/vda /mnt/root || fail "cannot mount the image (/dev/vda)"
mount -t 9p -o trans=virtio,version=9p2000.L,ro vmjob /mnt/root/vmtest \
    || fail "cannot mount the command's share"
for d in proc sys dev; do mount --move /$d /mnt/root/$d; done
exec switch_root /mnt/root /lib/systemd/systemd
"""

JOB = r"""# Started by vmtest.service in the booted guest: wait for the system, run the command.
out=/dev/ttyS1
stty -F $out raw -echo
state=$(systemctl is-system-running --wait)
echo "@@VMTEST-START @NONCE@@@" > $out
echo "vmtest: system $state after $(cut -d' ' -f1 /proc/uptime) s" > $out
/bin/sh /vmtest/.command < /dev/null > $out 2>&1
rc=$?
echo "" > $out
echo "@@VMTEST-EXIT @NONCE@ $rc@@" > $out
sync
systemctl poweroff --force --force
"""


def log(text):
    vm.log(text)


# ---------------------------------------------------------------- the image, cached

def depends_of(deb):
    """Package names a .deb depends on (the first of each set of alternatives)."""
    out = subprocess.run(["dpkg-deb", "-f", deb, "Depends", "Pre-Depends"], check=True,
                         stdout=subprocess.PIPE, text=True).stdout
    names = []
    for line in out.splitlines():
        _, _, value = line.partition(":")
        for item in value.split(","):
            first = item.split("|")[0].strip()
            m = re.match(r"([a-z0-9][a-z0-9+.-]*)", first)
            if m:
                names.append(m.group(1))
    return names


def image_inputs(release, packages):
    return {"version": IMAGE_VERSION, "suite": SUITE, "mirror": MIRROR, "variant": "minbase",
            "kernel": release, "packages": sorted(set(BASE_PACKAGES) | set(packages))}


def image_key(inputs):
    return hashlib.sha256(json.dumps(inputs, sort_keys=True).encode()).hexdigest()[:16]


def run_logged(argv, logfile, timeout, **kw):
    with open(logfile, "ab") as f:
        done = subprocess.run(argv, stdout=f, stderr=subprocess.STDOUT, timeout=timeout, **kw)
    if done.returncode != 0:
        with open(logfile, "rb") as f:
            tail = f.read()[-1500:].decode("utf-8", "replace")
        raise vm.VmError("%s failed (code %d):\n%s" % (" ".join(argv[:2]), done.returncode, tail))


def configure_root(root, release, kernel_home):
    """Turns a debootstrapped tree into a guest that boots straight to the command."""
    with open(os.path.join(root, "etc", "hostname"), "w") as f:
        f.write("vmtest\n")
    with open(os.path.join(root, "etc", "hosts"), "w") as f:
        f.write("127.0.0.1 localhost\n127.0.1.1 vmtest\n::1 localhost\n")
    with open(os.path.join(root, "etc", "fstab"), "w") as f:
        f.write("/dev/vda / ext4 rw 0 0\n")
    os.makedirs(os.path.join(root, "vmtest"), exist_ok=True)
    # The kernel's modules, so that udev and the guest's modprobe find veth, sock_diag...
    shutil.copytree(vm.modules_dir(kernel_home, release),
                    os.path.join(root, "usr", "lib", "modules", release), symlinks=True)
    subprocess.run(["chroot", root, "depmod", "-a", release], check=True, timeout=300)
    units = os.path.join(root, "etc", "systemd", "system")
    for unit in MASKED_UNITS:
        for wants in ("timers.target.wants", "multi-user.target.wants", "getty.target.wants",
                      "sysinit.target.wants"):
            try:
                os.unlink(os.path.join(units, wants, unit))
            except FileNotFoundError:
                pass
        path = os.path.join(units, unit)
        if os.path.lexists(path):
            os.unlink(path)
        os.symlink("/dev/null", path)
    with open(os.path.join(units, "vmtest.service"), "w") as f:
        f.write(RUNNER_UNIT)
    os.makedirs(os.path.join(units, "multi-user.target.wants"), exist_ok=True)
    os.symlink("/etc/systemd/system/vmtest.service",
               os.path.join(units, "multi-user.target.wants", "vmtest.service"))
    # apt's package cache, built here once rather than by the first apt-get in each guest.
    subprocess.run(["chroot", root, "apt-cache", "gencaches"], check=True, timeout=300,
                   stdout=subprocess.DEVNULL)
    # The downloaded packages are installed already.
    archives = os.path.join(root, "var", "cache", "apt", "archives")
    for name in os.listdir(archives):
        if name.endswith(".deb"):
            os.unlink(os.path.join(archives, name))


def prune_images(cache, keep):
    limit = time.time() - PRUNE_AFTER_DAYS * 86400
    for name in os.listdir(cache):
        ready = os.path.join(cache, name, "READY")
        if name != keep and os.path.exists(ready) and os.path.getmtime(ready) < limit:
            log("deleting the image %s, unused for %d days" % (name, PRUNE_AFTER_DAYS))
            shutil.rmtree(os.path.join(cache, name), ignore_errors=True)


def prepare_image(cache, release, kernel_home, packages):
    """The path of a cached image for these inputs, built when there is none."""
    inputs = image_inputs(release, packages)
    key = image_key(inputs)
    home = os.path.join(cache, key)
    image = os.path.join(home, "root.img")
    os.makedirs(cache, exist_ok=True)
    with open(os.path.join(cache, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)      # another run may be building it now
        if not os.path.exists(os.path.join(home, "READY")):
            for tool in ("debootstrap", "mkfs.ext4"):
                if shutil.which(tool) is None:
                    raise vm.VmError("%s is missing (scripts/install-deps.sh installs it)" % tool)
            log("building the Debian %s image %s in %s (debootstrap from %s)" % (SUITE, key, cache, MIRROR))
            started = time.monotonic()
            work = tempfile.mkdtemp(prefix=".build-", dir=cache)
            os.chmod(work, 0o755)
            try:
                root = os.path.join(work, "root")
                logfile = os.path.join(work, "build.log")
                run_logged(["debootstrap", "--variant=minbase", "--include=" + ",".join(inputs["packages"]),
                            SUITE, root, MIRROR], logfile, timeout=1800)
                configure_root(root, release, kernel_home)
                run_logged(["mkfs.ext4", "-q", "-F", "-L", "vmtest", "-d", root,
                            os.path.join(work, "root.img"), IMAGE_SIZE], logfile, timeout=600)
                shutil.rmtree(root)
                with open(os.path.join(work, "inputs.json"), "w") as f:
                    json.dump(inputs, f, indent=1, sort_keys=True)
                with open(os.path.join(work, "READY"), "w") as f:
                    f.write(key + "\n")
                if os.path.exists(home):
                    shutil.rmtree(home)
                os.rename(work, home)
            finally:
                shutil.rmtree(work, ignore_errors=True)
            log("image %s built in %.0f s" % (key, time.monotonic() - started))
        os.utime(os.path.join(home, "READY"))
        prune_images(cache, key)
    return image


# ---------------------------------------------------------------- the run

def build_initramfs(release, home, nonce):
    modules = vm.module_order(vm.modules_dir(home, release), DISK_MODULES)
    cpio = vm.Cpio()
    for d in ("bin", "sbin", "usr", "usr/bin", "usr/sbin", "dev", "proc", "sys", "mnt", "modules"):
        cpio.dir(d)
    cpio.chardev("dev/console", 5, 1)
    with open(vm.BUSYBOX, "rb") as f:
        cpio.file("bin/busybox", f.read(), 0o755)
    for name, path in modules:
        with open(path, "rb") as f:
            cpio.file("modules/%s.ko" % name, f.read())
    init = STAGE1.replace("@MODULES@", " ".join(n for n, _ in modules)).replace("@NONCE@", nonce)
    cpio.file("init", init.encode(), 0o755)
    return cpio.finish()


def expand(paths):
    """Each path, or the files a pattern in it names (a build's .deb, say); one at least."""
    found = []
    for path in paths:
        matches = sorted(glob.glob(path)) if glob.has_magic(path) else [path]
        if not matches:
            raise vm.VmError("no file matches %s" % path)
        found += matches
    return found


def run(options, argv):
    deadline = time.monotonic() + options.timeout
    env = {}
    for item in options.env:
        name, sep, value = item.partition("=")
        if not sep or not name:
            log("--env needs NAME=VALUE, not %r" % item)
            return 2
        env[name] = value
    if shutil.which(vm.QEMU) is None:
        log("%s is missing (scripts/install-deps.sh installs qemu-system-x86)" % vm.QEMU)
        return vm.EXIT_BOOT_FAILED
    # Where qemu cannot run at all, say so before spending minutes on an image.
    ok, why = vm.qemu_can_start()
    if not ok:
        print("vmtest: SKIP: qemu cannot start on this machine: %s" % why, flush=True)
        return vm.EXIT_QEMU_UNAVAILABLE
    try:
        release, home = vm.prepare_kernel(os.path.abspath(options.cache))
        files = expand(options.file)
        packages = list(options.include)
        for deb in expand(options.include_depends_of):
            packages += depends_of(deb)
        image = prepare_image(os.path.abspath(options.image_cache), release, home, packages)
    except (vm.VmError, OSError, subprocess.SubprocessError) as e:
        log("cannot prepare the guest: %s" % e)
        return vm.EXIT_BOOT_FAILED
    nonce = secrets.token_hex(8)
    tmp = tempfile.mkdtemp(prefix="ferrow-vmtest-")
    try:
        share = os.path.join(tmp, "share")
        os.makedirs(share)
        for path in files:
            shutil.copy(path, share)
        with open(os.path.join(share, ".job"), "w") as f:
            f.write(JOB.replace("@NONCE@", nonce))
        with open(os.path.join(share, ".command"), "w") as f:
            f.write(vm.command_script(argv, "/vmtest", env))
        initrd = os.path.join(tmp, "initramfs.cpio")
        try:
            data = build_initramfs(release, home, nonce)
        except (vm.VmError, OSError) as e:
            log("cannot build the initramfs: %s" % e)
            return vm.EXIT_BOOT_FAILED
        with open(initrd, "wb") as f:
            f.write(data)
        console = options.console or os.path.join(tmp, "console.log")
        output = os.path.join(tmp, "output.log")
        open(output, "wb").close()
        qemu = [vm.QEMU, "-accel", "tcg,thread=multi", "-cpu", "max", "-smp", str(options.smp),
                "-m", str(options.memory), "-nodefaults", "-no-user-config", "-display", "none",
                "-no-reboot", "-kernel", os.path.join(home, "vmlinux"), "-initrd", initrd,
                "-append", "console=ttyS0 loglevel=4 panic=-1 rdinit=/init tsc=reliable mitigations=off",
                "-serial", "file:" + console,
                "-chardev", "file,id=vmout,path=" + output, "-serial", "chardev:vmout",
                # snapshot: the guest's writes go to a temporary file, never to the cache.
                "-drive", "file=%s,format=raw,if=virtio,snapshot=on,cache=unsafe" % image,
                "-virtfs", "local,path=%s,mount_tag=vmjob,security_model=none,readonly=on" % share]
        with open(os.path.join(tmp, "qemu.log"), "wb") as qemu_log:
            proc = subprocess.Popen(qemu, stdin=subprocess.DEVNULL, stdout=qemu_log,
                                    stderr=subprocess.STDOUT, start_new_session=True,
                                    preexec_fn=vm.die_with_parent, env=dict(os.environ, TMPDIR=tmp))
        proc.log = qemu_log.name
        try:
            return vm.watch(proc, options, output, console, nonce, deadline)
        finally:
            vm.stop_qemu(proc)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description="Run a command in a booted Debian 12 under qemu.")
    parser.add_argument("--cache", required=True)
    parser.add_argument("--image-cache", default=DEFAULT_IMAGE_CACHE)
    parser.add_argument("--include", action="append", default=[])
    parser.add_argument("--include-depends-of", action="append", default=[])
    parser.add_argument("--file", action="append", default=[])
    parser.add_argument("--env", action="append", default=[])
    parser.add_argument("--timeout", type=float, default=900)
    parser.add_argument("--boot-timeout", type=float, default=300)
    parser.add_argument("--memory", type=int, default=2048)
    parser.add_argument("--smp", type=int, default=2)
    parser.add_argument("--console")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(128 + signum))
    argv = options.command[1:] if options.command[:1] == ["--"] else options.command
    if not argv:
        parser.error("no command given (after --)")
    return run(options, argv)


if __name__ == "__main__":
    sys.exit(main())
