// SPDX-License-Identifier: GPL-2.0
// Per-process payload byte counters for the ferrow-monitor collector.
//
// Attached to the raw tracepoints sock:sock_send_length and sock:sock_recv_length,
// which fire in the sending or receiving task's context after every sendmsg/recvmsg
// on any socket with the number of bytes moved. Only Internet sockets are counted,
// keyed by the thread group id (the process), and traffic to loopback or to an
// address of the host itself is skipped here unless the collector asks otherwise.
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

struct task_struct {
    struct task_struct *group_leader;
    char comm[TASK_COMM_LEN];
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

char LICENSE[] SEC("license") = "GPL";
