#!/usr/bin/python3
"""Runs one command inside a virtual machine booted on Debian 12's own kernel (6.1).

    vmtest/run-in-vm.py --cache DIR [options] -- COMMAND [ARGS...]

The guest sees the host's whole root file system, read-only over 9p, with a tmpfs
overlay on top: it runs the host's own programs and files, and whatever it writes is
lost when it stops. The command runs as root in the guest, in the current directory
(or --cwd), with a plain environment plus each --env NAME=VALUE. Its output (stdout and
stderr together) is printed here as it comes, and this script exits with its exit code.

Options:
  --cache DIR        where the kernel is kept (required; see below)
  --env NAME=VALUE   an environment variable for the command (repeatable)
  --cwd DIR          directory to run the command in (default: the current one)
  --timeout S        hard limit for the whole run, boot included (default 900)
  --boot-timeout S   limit for the guest to reach the command (default 300)
  --memory MIB       guest memory (default 2048)
  --smp N            guest CPUs (default 2)
  --console FILE     keep the guest's kernel console log there

Exit codes other than the command's own:
  250  the VM could not be prepared or could not boot (kernel not obtainable, guest
       could not mount the host's root, qemu died before the command ended)
  251  the hard timeout was reached (qemu is killed: a paused qemu never hangs CI)
  252  qemu cannot start at all on this machine (a bare qemu fails too); the line
       "vmtest: SKIP: ..." says why, and ctest treats this code as a skip

What is cached, in DIR/<kernel release>/ (e.g. DIR/6.1.0-57-amd64/):
  vmlinux    the uncompressed kernel, cut out of the package's bzImage
  lib/modules/<release>/  the package's modules, with a modules.dep from busybox
  READY      written last: a directory without it is prepared again
The package (linux-image-<release>, named by `apt-cache depends linux-image-amd64`) is
fetched with `apt-get download` into DIR, unpacked with `dpkg -x` and then deleted; it
is never installed on the host. A second run with the same DIR neither downloads nor
unpacks anything. Without apt's lists the newest release already in DIR is used.

The guest: qemu's software emulation (TCG; the KVM of these machines cannot run a stock
kernel), the kernel booted from the uncompressed vmlinux, a small initramfs built for
each run (the host's static busybox, the 9p and overlay modules, an init script), then
switch_root into the overlay. Modules are loaded on demand from the cache through
busybox's modprobe. The command's output comes back over a second serial port, framed
by marker lines that carry the exit code.
"""

import argparse
import ctypes
import fcntl
import glob
import lzma
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

QEMU = "qemu-system-x86_64"
BUSYBOX = "/bin/busybox"
META_PACKAGE = "linux-image-amd64"

PR_SET_PDEATHSIG = 1

EXIT_BOOT_FAILED = 250
EXIT_TIMEOUT = 251
EXIT_QEMU_UNAVAILABLE = 252

# Loaded in this order by the initramfs to mount the host's root; their dependencies
# (read from each module's own .modinfo) are added and loaded first.
INITRAMFS_MODULES = ["virtio_pci", "9pnet_virtio", "9p", "overlay"]

# Module trees (under kernel/) left out of the cache.
UNNEEDED_MODULES = ["sound", "drivers/gpu", "drivers/media", "drivers/infiniband", "drivers/usb",
                    "drivers/iio", "drivers/hid", "drivers/input", "drivers/staging",
                    "drivers/bluetooth", "drivers/net/wireless", "drivers/net/ethernet"]

GUEST_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


class VmError(Exception):
    """The VM could not be prepared or booted; the message says why."""


def log(text):
    sys.stderr.write("vmtest: %s\n" % text)
    sys.stderr.flush()


# ---------------------------------------------------------------- the kernel, cached

def wanted_release():
    """The release linux-image-amd64 depends on (e.g. 6.1.0-57-amd64), or None."""
    try:
        out = subprocess.run(["apt-cache", "depends", META_PACKAGE], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True, timeout=60).stdout
    except (OSError, subprocess.TimeoutExpired):
        return None
    m = re.search(r"Depends: linux-image-(\d+\.\d+\.\d+-\d+-amd64)\s*$", out, re.M)
    return m.group(1) if m else None


def cached_releases(cache):
    found = [os.path.basename(os.path.dirname(p)) for p in glob.glob(os.path.join(cache, "*", "READY"))]
    def key(release):
        return [int(x) for x in re.findall(r"\d+", release)]
    return sorted(found, key=key)


def extract_vmlinux(bzimage, out):
    """The bzImage holds the kernel as an xz stream; the uncompressed ELF boots faster."""
    with open(bzimage, "rb") as f:
        data = f.read()
    start = data.find(b"\xfd7zXZ\x00")
    if start < 0:
        raise VmError("no xz stream in %s" % bzimage)
    # The stream is followed by other data: decompress until its end.
    elf = lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[start:])
    if elf[:4] != b"\x7fELF":
        raise VmError("the xz stream in %s is not an ELF kernel" % bzimage)
    with open(out, "wb") as f:
        f.write(elf)


def modules_dir(home, release):
    return os.path.join(home, "lib", "modules", release)


def prepare_kernel(cache):
    """Returns (release, directory) of a prepared kernel, fetching it when needed."""
    os.makedirs(cache, exist_ok=True)
    release = wanted_release()
    if release is None:
        have = cached_releases(cache)
        if not have:
            raise VmError("apt-cache does not name the kernel of %s (run apt-get update)" % META_PACKAGE)
        release = have[-1]
    home = os.path.join(cache, release)
    if os.path.exists(os.path.join(home, "READY")):
        return release, home
    with open(os.path.join(cache, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)      # another run may be preparing it now
        if os.path.exists(os.path.join(home, "READY")):
            return release, home
        log("preparing kernel %s in %s" % (release, cache))
        work = tempfile.mkdtemp(prefix=".prepare-", dir=cache)
        try:
            os.chmod(work, 0o755)             # apt's download user writes here
            package = "linux-image-%s" % release
            done = subprocess.run(["apt-get", "download", "-q", package], cwd=work,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                  timeout=900)
            debs = glob.glob(os.path.join(work, "%s_*.deb" % package))
            if done.returncode != 0 or len(debs) != 1:
                raise VmError("apt-get download %s failed: %s" % (package, done.stdout.strip()[-500:]))
            tree = os.path.join(work, "tree")
            subprocess.run(["dpkg", "-x", debs[0], tree], check=True, timeout=600)
            os.unlink(debs[0])
            staged = os.path.join(work, "kernel")
            os.makedirs(staged)
            extract_vmlinux(os.path.join(tree, "boot", "vmlinuz-%s" % release),
                            os.path.join(staged, "vmlinux"))
            modules = None
            for base in ("lib", "usr/lib"):
                candidate = os.path.join(tree, base, "modules", release)
                if os.path.isdir(candidate):
                    modules = candidate
            if modules is None:
                raise VmError("%s has no modules directory" % package)
            # Hardware a guest without such devices never loads: about half of the size.
            for sub in UNNEEDED_MODULES:
                shutil.rmtree(os.path.join(modules, "kernel", sub), ignore_errors=True)
            os.makedirs(os.path.join(staged, "lib", "modules"))
            os.rename(modules, modules_dir(staged, release))
            # busybox depmod writes modules.dep for busybox modprobe (no kmod on the host).
            subprocess.run([BUSYBOX, "depmod", "-b", staged, release], check=True, timeout=300)
            with open(os.path.join(staged, "READY"), "w") as f:
                f.write("%s\n" % release)
            if os.path.exists(home):
                shutil.rmtree(home)
            os.rename(staged, home)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        return release, home


# ---------------------------------------------------------------- the initramfs

class Cpio:
    """A "newc" cpio archive in memory, as the kernel unpacks an initramfs."""

    def __init__(self):
        self.data = bytearray()
        self.ino = 1

    def _entry(self, name, mode, body=b"", rdev=(0, 0)):
        name_b = name.encode() + b"\0"
        fields = [self.ino, mode, 0, 0, 1, 0, len(body), 0, 0, rdev[0], rdev[1], len(name_b), 0]
        self.ino += 1
        self.data += b"070701" + b"".join(b"%08X" % v for v in fields) + name_b
        self.data += b"\0" * (-len(self.data) % 4)
        self.data += body
        self.data += b"\0" * (-len(self.data) % 4)

    def dir(self, name):
        self._entry(name, 0o040755)

    def file(self, name, body, mode=0o644):
        self._entry(name, 0o100000 | mode, body)

    def chardev(self, name, major, minor):
        self._entry(name, 0o020600, rdev=(major, minor))

    def finish(self):
        self._entry("TRAILER!!!", 0)
        self.data += b"\0" * (-len(self.data) % 512)
        return bytes(self.data)


def module_depends(path):
    with open(path, "rb") as f:
        m = re.search(rb"(?:^|\0)depends=([^\0]*)\0", f.read())
    return [d for d in m.group(1).decode().split(",") if d] if m else []


def module_order(moddir, names):
    """Module files for `names` and their dependencies, dependencies first."""
    files = {}
    for path in glob.glob(os.path.join(moddir, "kernel", "**", "*.ko"), recursive=True):
        files[os.path.basename(path)[:-3].replace("-", "_")] = path
    builtin = set()
    try:
        with open(os.path.join(moddir, "modules.builtin")) as f:
            builtin = {os.path.basename(l.strip())[:-3].replace("-", "_") for l in f}
    except OSError:
        pass
    order = []

    def visit(name):
        name = name.replace("-", "_")
        if name in order or name in builtin:
            return
        if name not in files:
            raise VmError("kernel module %s not found in %s" % (name, moddir))
        for dep in module_depends(files[name]):
            visit(dep)
        order.append(name)

    for n in names:
        visit(n)
    return [(n, files[n]) for n in order]


STAGE1 = r"""#!/bin/busybox sh
# First stage, in the initramfs: mount the host's root with a writable layer, switch to it.
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
mkdir -p /mnt/host /mnt/rw /mnt/root
mount -t 9p -o trans=virtio,version=9p2000.L,cache=loose,ro hostroot /mnt/host \
    || fail "cannot mount the host's root over 9p"
mount -t tmpfs -o mode=0755 tmpfs /mnt/rw
mkdir /mnt/rw/upper /mnt/rw/work
mount -t overlay overlay -o lowerdir=/mnt/host,upperdir=/mnt/rw/upper,workdir=/mnt/rw/work /mnt/root \
    || fail "cannot mount the overlay on the host's root"
mkdir -p /mnt/root/.vmtest
cp /stage2 /command /mnt/root/.vmtest/
ln -s /bin/busybox /mnt/root/.vmtest/modprobe
for d in proc sys dev; do mount --move /$d /mnt/root/$d; done
exec switch_root /mnt/root /bin/sh /.vmtest/stage2
"""

STAGE2 = r"""# Second stage, in the host's root (the guest's copy): run the command.
export PATH=@PATH@
out=/dev/ttyS1
mount -t tmpfs -o mode=0755 tmpfs /run
# /tmp stays the host's, seen through the writable overlay: the tree under
# test may well live there (a CI clone, say).
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
mount -t cgroup2 cgroup2 /sys/fs/cgroup 2>/dev/null
mount -t bpf bpf /sys/fs/bpf 2>/dev/null
mount -t tracefs tracefs /sys/kernel/tracing 2>/dev/null
mount -t debugfs debugfs /sys/kernel/debug 2>/dev/null
# The host's modules are not this kernel's: the cached ones are loaded on demand.
mount -t tmpfs tmpfs /lib/modules
mkdir -p /lib/modules/@RELEASE@
mount --bind @MODULES@ /lib/modules/@RELEASE@
echo /.vmtest/modprobe > /proc/sys/kernel/modprobe
ip link set lo up
hostname vmtest
stty -F $out raw -echo
echo "@@VMTEST-START @NONCE@@@" > $out
/bin/sh /.vmtest/command < /dev/null > $out 2>&1
rc=$?
echo "" > $out
echo "@@VMTEST-EXIT @NONCE@ $rc@@" > $out
sync
echo o > /proc/sysrq-trigger
sleep 30
"""


def build_initramfs(release, home, command_script, nonce):
    modules = module_order(modules_dir(home, release), INITRAMFS_MODULES)
    cpio = Cpio()
    for d in ("bin", "sbin", "usr", "usr/bin", "usr/sbin", "dev", "proc", "sys", "mnt", "modules"):
        cpio.dir(d)
    cpio.chardev("dev/console", 5, 1)
    with open(BUSYBOX, "rb") as f:
        cpio.file("bin/busybox", f.read(), 0o755)
    for name, path in modules:
        with open(path, "rb") as f:
            cpio.file("modules/%s.ko" % name, f.read())
    init = STAGE1.replace("@MODULES@", " ".join(n for n, _ in modules)).replace("@NONCE@", nonce)
    cpio.file("init", init.encode(), 0o755)
    stage2 = (STAGE2.replace("@PATH@", GUEST_PATH).replace("@RELEASE@", release)
              .replace("@MODULES@", shlex.quote(modules_dir(os.path.realpath(home), release)))
              .replace("@NONCE@", nonce))
    cpio.file("stage2", stage2.encode(), 0o755)
    cpio.file("command", command_script.encode(), 0o755)
    return cpio.finish()


def command_script(argv, cwd, env):
    lines = ["cd %s || exit 250" % shlex.quote(cwd)]
    base = {"HOME": "/root", "LANG": "C.UTF-8", "TERM": "dumb", "PATH": GUEST_PATH}
    base.update(env)
    for k, v in base.items():
        lines.append("export %s=%s" % (k, shlex.quote(v)))
    lines.append("exec " + " ".join(shlex.quote(a) for a in argv))
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------- qemu

def qemu_can_start():
    """(True, "") when a bare qemu runs here; else (False, why)."""
    if shutil.which(QEMU) is None:
        return False, "%s is not installed" % QEMU
    try:
        proc = subprocess.Popen([QEMU, "-machine", "none", "-accel", "tcg", "-display", "none",
                                 "-nodefaults", "-no-user-config", "-S"],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, text=True)
    except OSError as e:
        return False, str(e)
    try:
        _, err = proc.communicate(timeout=3)
        return False, (err.strip().splitlines() or ["exit code %d" % proc.returncode])[-1]
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return True, ""


def die_with_parent():
    """In qemu's child before exec: killed if this script dies, even by SIGKILL."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def run(options, argv):
    deadline = time.monotonic() + options.timeout
    try:
        release, home = prepare_kernel(os.path.abspath(options.cache))
    except (VmError, OSError, subprocess.SubprocessError) as e:
        log("cannot prepare the kernel: %s" % e)
        return EXIT_BOOT_FAILED
    if shutil.which(QEMU) is None:
        log("%s is missing (scripts/install-deps.sh installs qemu-system-x86)" % QEMU)
        return EXIT_BOOT_FAILED
    env = {}
    for item in options.env:
        name, sep, value = item.partition("=")
        if not sep or not name:
            log("--env needs NAME=VALUE, not %r" % item)
            return 2
        env[name] = value
    nonce = secrets.token_hex(8)
    script = command_script(argv, os.path.abspath(options.cwd or os.getcwd()), env)
    tmp = tempfile.mkdtemp(prefix="ferrow-vmtest-")
    try:
        initrd = os.path.join(tmp, "initramfs.cpio")
        try:
            data = build_initramfs(release, home, script, nonce)
        except (VmError, OSError) as e:
            log("cannot build the initramfs: %s" % e)
            return EXIT_BOOT_FAILED
        with open(initrd, "wb") as f:
            f.write(data)
        console = options.console or os.path.join(tmp, "console.log")
        output = os.path.join(tmp, "output.log")
        open(output, "wb").close()
        qemu = [QEMU, "-accel", "tcg,thread=multi", "-cpu", "max", "-smp", str(options.smp),
                "-m", str(options.memory), "-nodefaults", "-no-user-config", "-display", "none",
                "-no-reboot", "-kernel", os.path.join(home, "vmlinux"), "-initrd", initrd,
                "-append", "console=ttyS0 loglevel=4 panic=-1 rdinit=/init tsc=reliable mitigations=off",
                "-serial", "file:" + console,
                "-chardev", "file,id=vmout,path=" + output, "-serial", "chardev:vmout",
                "-virtfs", "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap"]
        # qemu's own messages go to a file: a pipe nobody reads could stall it.
        with open(os.path.join(tmp, "qemu.log"), "wb") as qemu_log:
            proc = subprocess.Popen(qemu, stdin=subprocess.DEVNULL, stdout=qemu_log,
                                    stderr=subprocess.STDOUT, start_new_session=True,
                                    preexec_fn=die_with_parent)
        proc.log = qemu_log.name
        try:
            return watch(proc, options, output, console, nonce, deadline)
        finally:
            stop_qemu(proc)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def console_tail(console, lines=25):
    try:
        with open(console, "rb") as f:
            text = f.read().decode("utf-8", "replace")
    except OSError:
        return ""
    return "\n".join(text.splitlines()[-lines:])


def stop_qemu(proc):
    if proc.returncode is None and proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    proc.wait()
    try:
        with open(proc.log, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except OSError:
        return ""


def watch(proc, options, output, console, nonce, deadline):
    """Streams the command's output; returns this script's exit code."""
    start_mark = ("@@VMTEST-START %s@@\n" % nonce).encode()
    exit_re = re.compile((r"\n?@@VMTEST-EXIT %s (\d+)@@\n" % nonce).encode())
    fail_re = re.compile((r"@@VMTEST-FAIL %s (.*?)@@" % nonce).encode())
    boot_deadline = time.monotonic() + options.boot_timeout
    started = False
    buf = b""
    offset = 0
    stdout = sys.stdout.buffer
    with open(output, "rb") as f:
        while True:
            exited = proc.poll() is not None
            f.seek(offset)
            chunk = f.read()
            offset += len(chunk)
            buf += chunk
            if not started:
                m = fail_re.search(buf)
                if m:
                    stop_qemu(proc)
                    log("the guest could not boot: %s" % m.group(1).decode("utf-8", "replace"))
                    log("guest console:\n" + console_tail(console))
                    return EXIT_BOOT_FAILED
                at = buf.find(start_mark)
                if at >= 0:
                    started = True
                    buf = buf[at + len(start_mark):]
            if started:
                m = exit_re.search(buf)
                if m:
                    stdout.write(buf[:m.start()])
                    stdout.flush()
                    stop_qemu(proc)
                    return int(m.group(1))
                # Keep back what could be the start of the exit line.
                keep = buf.rfind(b"\n@@")
                if keep < 0 and buf.rfind(b"\n") >= len(buf) - 1:
                    keep = len(buf) - 1
                if keep < 0:
                    keep = len(buf)
                stdout.write(buf[:keep])
                stdout.flush()
                buf = buf[keep:]
            if exited:
                qemu_out = stop_qemu(proc).strip()
                if not started and proc.returncode != 0 and not console_tail(console):
                    ok, why = qemu_can_start()
                    if not ok:
                        print("vmtest: SKIP: qemu cannot start on this machine: %s" % why, flush=True)
                        return EXIT_QEMU_UNAVAILABLE
                log("qemu ended (code %s) %s the command ended%s" % (
                    proc.returncode, "after the command started, before" if started else "before",
                    ": " + qemu_out[-500:] if qemu_out else ""))
                log("guest console:\n" + console_tail(console))
                return EXIT_BOOT_FAILED
            now = time.monotonic()
            if now > deadline or (not started and now > boot_deadline):
                stop_qemu(proc)
                stdout.write(buf)
                stdout.flush()
                log("timeout: %s after %.0f s; qemu killed" % (
                    "the command had not ended" if started else "the guest had not booted",
                    options.timeout if started else options.boot_timeout))
                log("guest console:\n" + console_tail(console))
                return EXIT_TIMEOUT
            time.sleep(0.1)


def main():
    parser = argparse.ArgumentParser(description="Run a command on Debian 12's kernel under qemu.")
    parser.add_argument("--cache", required=True)
    parser.add_argument("--env", action="append", default=[])
    parser.add_argument("--cwd")
    parser.add_argument("--timeout", type=float, default=900)
    parser.add_argument("--boot-timeout", type=float, default=300)
    parser.add_argument("--memory", type=int, default=2048)
    parser.add_argument("--smp", type=int, default=2)
    parser.add_argument("--console")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    # SIGTERM (ctest, CI) unwinds like an error, so that qemu is stopped on the way out.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(128 + signum))
    argv = options.command[1:] if options.command[:1] == ["--"] else options.command
    if not argv:
        parser.error("no command given (after --)")
    return run(options, argv)


if __name__ == "__main__":
    sys.exit(main())
