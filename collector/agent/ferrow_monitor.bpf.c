// SPDX-License-Identifier: GPL-2.0
// Per-process payload byte counters for the ferrow-monitor collector.
//
// Attached to the raw tracepoints sock:sock_send_length and sock:sock_recv_length,
// which fire in the sending or receiving task's context after every sendmsg/recvmsg
// on any socket with the number of bytes moved. Only Internet sockets are counted,
// keyed by the thread group id (the process), and traffic to loopback or to an
// address of the host itself is skipped here unless the collector asks otherwise.
//
// The exec, fork and exit tracepoints remember the program of every process while it
// lives, so that a process gone before the collector reads the counters (a download
// tool living a few milliseconds) is still reported with its program.
//
// Structure offsets come from the running kernel's BTF through CO-RE relocations:
// only the fields read below are declared, with preserve_access_index.

#include <linux/bpf.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>

#define AF_INET 2
#define AF_INET6 10
#define MSG_PEEK 2
#define TASK_COMM_LEN 16

struct in6_addr {
    union {
        __u8 u6_addr8[16];
        __u32 u6_addr32[4];
    } in6_u;
} __attribute__((preserve_access_index));

struct sock_common {
    __u32 skc_daddr;
    __u32 skc_rcv_saddr;
    unsigned short skc_family;
    struct in6_addr skc_v6_daddr;
    struct in6_addr skc_v6_rcv_saddr;
} __attribute__((preserve_access_index));

struct sock {
    struct sock_common __sk_common;
} __attribute__((preserve_access_index));

struct inode {
    unsigned long i_ino;
} __attribute__((preserve_access_index));

struct super_block {
    __u32 s_dev;
} __attribute__((preserve_access_index));

struct dentry {
    struct inode *d_inode;
    struct super_block *d_sb;
} __attribute__((preserve_access_index));

struct path {
    struct dentry *dentry;
} __attribute__((preserve_access_index));

struct fs_struct {
    struct path root;
} __attribute__((preserve_access_index));

struct mm_struct {
    unsigned long arg_start;
    unsigned long arg_end;
} __attribute__((preserve_access_index));

struct linux_binprm {
    const char *interp;
} __attribute__((preserve_access_index));

struct task_struct {
    int pid;
    int tgid;
    struct task_struct *group_leader;
    char comm[TASK_COMM_LEN];
    struct mm_struct *mm;
    struct fs_struct *fs;
} __attribute__((preserve_access_index));

// Cumulative counters of one process; the collector reports differences. This is the
// only declaration of the layout: the collector reads it from the program's BTF
// (ferrow_collector/ebpf/btf.py) and finds the fields by name.
struct traffic {
    __u64 tx;
    __u64 rx;
    char comm[TASK_COMM_LEN];
};

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 16384);
    __type(key, __u32);
    __type(value, struct traffic);
} traffic SEC(".maps");

// Bytes that could not be given an owner because the map above was full.
struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct traffic);
} unowned SEC(".maps");

// The program a process runs, as its last exec gave it. The collector reads the layout
// from the program's BTF (ferrow_collector/ebpf/backend.py), fields by name.
#define PROGRAM_PATH_LEN 256
#define PROGRAM_ARGS_LEN 1024
struct program {
    __u64 stamp;       // bpf_ktime_get_ns() of the exec
    __u64 root_ino;    // the process's root directory: its inode number
    __u32 root_dev;    // and its file system (the kernel's dev_t)
    __u32 path_len;    // bytes of path with its NUL; PROGRAM_PATH_LEN when cut short
    __u32 args_len;    // bytes of args read; PROGRAM_ARGS_LEN - 1 when cut short
    char path[PROGRAM_PATH_LEN]; // the file executed, after any #! interpreter
    char args[PROGRAM_ARGS_LEN]; // the start of the argument list, NUL-separated
};

// Processes that exec'd since the program was loaded (or forked from one), while
// they live and until the collector has reported their traffic.
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 8192);
    __type(key, __u32);
    __type(value, struct program);
} programs SEC(".maps");

// A process forked from one that has no entry above (it was running before the
// program was loaded): the nearest such ancestor, whose program it runs.
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 16384);
    __type(key, __u32);
    __type(value, __u32);
} forks SEC(".maps");

// A program record is too large for the stack: it is built here.
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct program);
} scratch SEC(".maps");

// Index 0: 1 to count loopback and local traffic as well.
struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u32);
} settings SEC(".maps");

static __always_inline int is_loopback_v6(const __u32 a[4])
{
    // ::1
    if (a[0] == 0 && a[1] == 0 && a[2] == 0 && a[3] == bpf_htonl(1))
        return 1;
    // ::ffff:127.0.0.0/104
    if (a[0] == 0 && a[1] == 0 && a[2] == bpf_htonl(0xffff) && (a[3] & bpf_htonl(0xff000000)) == bpf_htonl(0x7f000000))
        return 1;
    return 0;
}

static __always_inline int is_loopback_v4(__u32 a)
{
    return (a & bpf_htonl(0xff000000)) == bpf_htonl(0x7f000000);
}

// True when the socket's traffic stays on this host: its peer or its own bound
// address is 127/8, ::1 or a v4-mapped 127/8, or its peer is its own local address
// (a connection to one of the host's addresses takes that address as its source).
// An unconnected socket bound to a wildcard address has no peer here (destination
// 0) and is counted.
static __always_inline int is_local_peer(struct sock *sk, unsigned short family)
{
    if (family == AF_INET) {
        __u32 daddr = BPF_CORE_READ(sk, __sk_common.skc_daddr);
        __u32 saddr = BPF_CORE_READ(sk, __sk_common.skc_rcv_saddr);
        if (is_loopback_v4(daddr) || is_loopback_v4(saddr))
            return 1;
        return daddr != 0 && daddr == saddr;
    }
    __u32 d[4] = {}, s[4] = {};
    bpf_core_read(d, sizeof(d), &sk->__sk_common.skc_v6_daddr);
    bpf_core_read(s, sizeof(s), &sk->__sk_common.skc_v6_rcv_saddr);
    if (is_loopback_v6(d) || is_loopback_v6(s))
        return 1;
    if (d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 0)
        return 0;
    return d[0] == s[0] && d[1] == s[1] && d[2] == s[2] && d[3] == s[3];
}

static __always_inline void account(struct sock *sk, int bytes, int sent)
{
    if (bytes <= 0 || !sk)
        return;
    unsigned short family = BPF_CORE_READ(sk, __sk_common.skc_family);
    if (family != AF_INET && family != AF_INET6)
        return;

    __u32 zero = 0;
    __u32 *include_local = bpf_map_lookup_elem(&settings, &zero);
    if (!(include_local && *include_local) && is_local_peer(sk, family))
        return;

    __u32 tgid = bpf_get_current_pid_tgid() >> 32;
    struct traffic *t = bpf_map_lookup_elem(&traffic, &tgid);
    if (!t) {
        struct traffic fresh = {};
        // The process's name, not the thread's: the group leader's comm.
        struct task_struct *task = (struct task_struct *)bpf_get_current_task();
        struct task_struct *leader = BPF_CORE_READ(task, group_leader);
        bpf_core_read(fresh.comm, sizeof(fresh.comm), &leader->comm);
        // Another CPU may insert the same process at the same time: then use its entry.
        long err = bpf_map_update_elem(&traffic, &tgid, &fresh, BPF_NOEXIST);
        t = bpf_map_lookup_elem(&traffic, &tgid);
        if (!t) {
            (void)err;
            t = bpf_map_lookup_elem(&unowned, &zero);
            if (!t)
                return;
        }
    }
    if (sent)
        __sync_fetch_and_add(&t->tx, (__u64)bytes);
    else
        __sync_fetch_and_add(&t->rx, (__u64)bytes);
}

// The tracepoint names can be changed at build time only so that tests can build a
// program whose tracepoints do not exist, as on kernels before 6.3.
#ifndef FERROW_SEND_TRACEPOINT
#define FERROW_SEND_TRACEPOINT "raw_tp/sock_send_length"
#endif
#ifndef FERROW_RECV_TRACEPOINT
#define FERROW_RECV_TRACEPOINT "raw_tp/sock_recv_length"
#endif

SEC(FERROW_SEND_TRACEPOINT)
int count_send(struct bpf_raw_tracepoint_args *ctx)
{
    account((struct sock *)ctx->args[0], (int)ctx->args[1], 1);
    return 0;
}

SEC(FERROW_RECV_TRACEPOINT)
int count_recv(struct bpf_raw_tracepoint_args *ctx)
{
    // A peek leaves the data queued: it is counted when it is really read.
    if ((int)ctx->args[2] & MSG_PEEK)
        return 0;
    account((struct sock *)ctx->args[0], (int)ctx->args[1], 0);
    return 0;
}

// After a successful exec, in the new program's context: its arguments are in place
// on its stack.
SEC("raw_tp/sched_process_exec")
int note_exec(struct bpf_raw_tracepoint_args *ctx)
{
    struct task_struct *task = (struct task_struct *)ctx->args[0];
    struct linux_binprm *bprm = (struct linux_binprm *)ctx->args[2];
    __u32 zero = 0;
    struct program *p = bpf_map_lookup_elem(&scratch, &zero);
    if (!p || !task || !bprm)
        return 0;
    __u32 tgid = BPF_CORE_READ(task, tgid);
    p->stamp = bpf_ktime_get_ns();
    // The path means the same file to the collector only under the same root.
    struct dentry *root = BPF_CORE_READ(task, fs, root.dentry);
    p->root_ino = BPF_CORE_READ(root, d_inode, i_ino);
    p->root_dev = BPF_CORE_READ(root, d_sb, s_dev);
    // interp is the file finally run: the interpreter of a #! script, else the file.
    const char *path = BPF_CORE_READ(bprm, interp);
    long n = bpf_probe_read_kernel_str(p->path, sizeof(p->path), path);
    p->path_len = n > 0 ? (__u32)n : 0;
    unsigned long start = BPF_CORE_READ(task, mm, arg_start);
    unsigned long end = BPF_CORE_READ(task, mm, arg_end);
    unsigned long len = end > start ? end - start : 0;
    if (len > PROGRAM_ARGS_LEN - 1)
        len = PROGRAM_ARGS_LEN - 1;
    len &= PROGRAM_ARGS_LEN - 1;
    if (bpf_probe_read_user(p->args, len, (const void *)start) != 0)
        len = 0;
    p->args_len = (__u32)len;
    bpf_map_update_elem(&programs, &tgid, p, BPF_ANY);
    bpf_map_delete_elem(&forks, &tgid);
    return 0;
}

// A new process (not a thread) runs its parent's program until it execs.
SEC("raw_tp/sched_process_fork")
int note_fork(struct bpf_raw_tracepoint_args *ctx)
{
    struct task_struct *parent = (struct task_struct *)ctx->args[0];
    struct task_struct *child = (struct task_struct *)ctx->args[1];
    if (!parent || !child)
        return 0;
    __u32 tgid = BPF_CORE_READ(child, tgid);
    if ((__u32)BPF_CORE_READ(child, pid) != tgid)
        return 0;
    __u32 parent_tgid = BPF_CORE_READ(parent, tgid);
    struct program *p = bpf_map_lookup_elem(&programs, &parent_tgid);
    if (p) {
        bpf_map_update_elem(&programs, &tgid, p, BPF_ANY);
        bpf_map_delete_elem(&forks, &tgid);
        return 0;
    }
    __u32 *ancestor = bpf_map_lookup_elem(&forks, &parent_tgid);
    __u32 from = ancestor ? *ancestor : parent_tgid;
    bpf_map_update_elem(&forks, &tgid, &from, BPF_ANY);
    bpf_map_delete_elem(&programs, &tgid);
    return 0;
}

// A process ending without traffic is forgotten at once; one with traffic is
// forgotten by the collector once it has reported it.
SEC("raw_tp/sched_process_exit")
int note_exit(struct bpf_raw_tracepoint_args *ctx)
{
    struct task_struct *task = (struct task_struct *)ctx->args[0];
    if (!task)
        return 0;
    __u32 tgid = BPF_CORE_READ(task, tgid);
    if ((__u32)BPF_CORE_READ(task, pid) != tgid)
        return 0;
    if (bpf_map_lookup_elem(&traffic, &tgid))
        return 0;
    bpf_map_delete_elem(&programs, &tgid);
    bpf_map_delete_elem(&forks, &tgid);
    return 0;
}

char LICENSE[] SEC("license") = "GPL";
