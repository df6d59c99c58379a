// SPDX-License-Identifier: GPL-2.0
// Per-process payload byte counters for the ferrow-monitor collector.
//
// Two attachments count the same bytes into the same maps; the collector loads one:
// - the raw tracepoints sock:sock_send_length and sock:sock_recv_length (Linux 6.3 and
//   later), which fire in the sending or receiving task's context after every
//   sendmsg/recvmsg on any socket with the number of bytes moved;
// - on kernels without them, fexit programs (BPF trampolines) on inet_sendmsg,
//   inet6_sendmsg, inet_recvmsg, inet6_recvmsg and inet_sendpage (the sendfile() path
//   until 6.5), which see the same calls of Internet sockets and their results.
// Only Internet sockets are counted, keyed by the thread group id (the process), and
// traffic to loopback or to an address of the host itself is skipped here unless the
// collector asks otherwise.
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
#define SOCK_DGRAM 2
#define IPPROTO_UDP 17
#define ETH_P_IP 0x0800
#define ETH_P_IPV6 0x86DD
#define TASK_COMM_LEN 16

struct in6_addr {
    union {
        __u8 u6_addr8[16];
        __u32 u6_addr32[4];
    } in6_u;
} __attribute__((preserve_access_index));

typedef struct {
    __s64 counter;
} atomic64_t;

struct proto {
    void *sendpage;
} __attribute__((preserve_access_index));

struct sock_common {
    __u32 skc_daddr;
    __u32 skc_rcv_saddr;
    __u16 skc_num;
    unsigned short skc_family;
    struct proto *skc_prot;
    struct in6_addr skc_v6_daddr;
    struct in6_addr skc_v6_rcv_saddr;
    atomic64_t skc_cookie;
} __attribute__((preserve_access_index));

struct sock {
    struct sock_common __sk_common;
    __u16 sk_protocol;
} __attribute__((preserve_access_index));

struct socket {
    short type;
    struct sock *sk;
} __attribute__((preserve_access_index));

struct msghdr {
    void *msg_name;
    int msg_namelen;
} __attribute__((preserve_access_index));

struct sk_buff {
    unsigned int len;
    unsigned char *head;
    __u16 network_header;
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

// A datagram about to be sent, or just read by its reader, whose other end is on this
// host although its socket has no loopback peer (an unconnected UDP socket): keyed by
// the thread (pid_tgid), noted just before the send or receive hook of the same call
// fires in the same thread, which takes the note away again.
struct local_datagram {
    __u64 cookie; // sent: the socket's cookie
    __u32 port;   // received: the datagram's destination port (host order)
    __u32 pad;
};

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 4096);
    __type(key, __u64);
    __type(value, struct local_datagram);
} sent_local SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 4096);
    __type(key, __u64);
    __type(value, struct local_datagram);
} received_local SEC(".maps");

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

// True when traffic between destination d and source s stays on this host: either is
// 127/8, ::1 or a v4-mapped 127/8, or the destination is the source itself (a
// connection to one of the host's addresses takes that address as its source). A
// destination 0 (an unconnected socket) is not local by itself.
static __always_inline int is_local_v4(__u32 d, __u32 s)
{
    if (is_loopback_v4(d) || is_loopback_v4(s))
        return 1;
    return d != 0 && d == s;
}

static __always_inline int is_local_v6(const __u32 d[4], const __u32 s[4])
{
    if (is_loopback_v6(d) || is_loopback_v6(s))
        return 1;
    if (d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 0)
        return 0;
    return d[0] == s[0] && d[1] == s[1] && d[2] == s[2] && d[3] == s[3];
}

// The socket's own peer and bound address decide.
static __always_inline int is_local_peer(struct sock *sk, unsigned short family)
{
    if (family == AF_INET)
        return is_local_v4(BPF_CORE_READ(sk, __sk_common.skc_daddr),
                           BPF_CORE_READ(sk, __sk_common.skc_rcv_saddr));
    __u32 d[4] = {}, s[4] = {};
    bpf_core_read(d, sizeof(d), &sk->__sk_common.skc_v6_daddr);
    bpf_core_read(s, sizeof(s), &sk->__sk_common.skc_v6_rcv_saddr);
    return is_local_v6(d, s);
}

// The address family of an Internet socket, else 0.
static __always_inline unsigned short inet_family(struct sock *sk)
{
    if (!sk)
        return 0;
    unsigned short family = BPF_CORE_READ(sk, __sk_common.skc_family);
    return family == AF_INET || family == AF_INET6 ? family : 0;
}

static __always_inline int local_counted(void)
{
    __u32 zero = 0;
    __u32 *include_local = bpf_map_lookup_elem(&settings, &zero);
    return include_local && *include_local;
}

// Adds bytes to the current process's counters.
static __always_inline void add_to_process(int bytes, int sent)
{
    __u32 zero = 0;
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

// Takes this thread's note of a datagram just read by its reader; true when it was a
// local one for this socket. Called on every receive, so that no note outlives its call.
static __always_inline int received_from_local(struct sock *sk)
{
    __u64 tid = bpf_get_current_pid_tgid();
    struct local_datagram *note = bpf_map_lookup_elem(&received_local, &tid);
    if (!note)
        return 0;
    __u32 port = note->port;
    bpf_map_delete_elem(&received_local, &tid);
    return sk && port == BPF_CORE_READ(sk, __sk_common.skc_num);
}

static __always_inline void note_local_receive(__u32 port)
{
    struct local_datagram note = { .port = port };
    __u64 tid = bpf_get_current_pid_tgid();
    bpf_map_update_elem(&received_local, &tid, &note, BPF_ANY);
}

// ---------------------------------------------------------------------------
// The tracepoint attachment (Linux 6.3 and later)
// ---------------------------------------------------------------------------

// An unconnected UDP socket's datagram to a loopback address: the cgroup hooks below see
// its destination just before the send tracepoint fires for the same call, which only
// sees the socket. Noted for this thread and socket; true in the send tracepoint when it
// was noted. Called on every send, so that no note outlives its call.
static __always_inline int sent_to_local(struct sock *sk)
{
    __u64 tid = bpf_get_current_pid_tgid();
    struct local_datagram *note = bpf_map_lookup_elem(&sent_local, &tid);
    if (!note)
        return 0;
    __u64 cookie = note->cookie;
    bpf_map_delete_elem(&sent_local, &tid);
    return sk && cookie == (__u64)BPF_CORE_READ(sk, __sk_common.skc_cookie.counter);
}

static __always_inline void note_local_send(struct bpf_sock_addr *ctx)
{
    struct local_datagram note = { .cookie = bpf_get_socket_cookie(ctx) };
    __u64 tid = bpf_get_current_pid_tgid();
    bpf_map_update_elem(&sent_local, &tid, &note, BPF_ANY);
}

// Attached to the root cgroup v2: every UDP sendmsg with a destination address (an
// unconnected socket, or sendto() on a connected one). Always allows the send.
SEC("cgroup/sendmsg4")
int note_sendmsg4(struct bpf_sock_addr *ctx)
{
    if (is_loopback_v4(ctx->user_ip4))
        note_local_send(ctx);
    return 1;
}

SEC("cgroup/sendmsg6")
int note_sendmsg6(struct bpf_sock_addr *ctx)
{
    __u32 d[4] = { ctx->user_ip6[0], ctx->user_ip6[1], ctx->user_ip6[2], ctx->user_ip6[3] };
    if (is_loopback_v6(d))
        note_local_send(ctx);
    return 1;
}

// Loopback datagrams queued on a UDP socket and not read yet, by the socket's cookie
// and the datagram's payload length. The receive tracepoint sees only the socket and
// the length read, and a socket bound to a wildcard address, unconnected, tells nothing
// about where a datagram came from; so the ingress hook below adds one here for every
// local datagram the kernel queues on a socket, and the receive tracepoint takes one
// away for a read of that socket returning that length, which it then does not count.
// Which of several datagrams of one length was read does not matter: each is taken
// away once. Approximations, each about a socket that receives local and remote
// datagrams of the same length: a local datagram read into a smaller buffer without
// MSG_TRUNC returns fewer bytes, is counted with them and leaves its entry behind (the
// socket's next datagram of that length is then not counted); so does one dropped after
// the hook other than for a full receive buffer (a socket filter, memory pressure).
// Concurrent reads of one socket may take the same entry twice: the count goes below
// zero and the next local datagram of that length is counted instead. Closed sockets'
// entries (cookies are never reused) age out of the LRU map.
struct queued_key {
    __u64 cookie;
    __u32 len;
    __u32 pad;
};

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 8192);
    __type(key, struct queued_key);
    __type(value, __s64);
} queued_local SEC(".maps");

struct ipv4_header {
    __u8 version_ihl, tos;
    __u16 len, id, frag;
    __u8 ttl, protocol;
    __u16 check;
    __u32 saddr, daddr;
};

struct ipv6_header {
    __u32 flow;
    __u16 len;
    __u8 next, hops;
    __u32 saddr[4], daddr[4];
};

static __always_inline void add_queued(__u64 cookie, __u32 len)
{
    struct queued_key key = { .cookie = cookie, .len = len };
    __s64 *pending = bpf_map_lookup_elem(&queued_local, &key);
    if (!pending) {
        __s64 one = 1;
        if (bpf_map_update_elem(&queued_local, &key, &one, BPF_NOEXIST) == 0)
            return;
        // Another CPU added the entry meanwhile.
        pending = bpf_map_lookup_elem(&queued_local, &key);
        if (!pending)
            return;
    }
    __sync_fetch_and_add(pending, 1);
}

// True when a local datagram of this length was queued on the socket: one is taken away.
static __always_inline int take_queued(struct sock *sk, __u32 len)
{
    struct queued_key key = {
        .cookie = (__u64)BPF_CORE_READ(sk, __sk_common.skc_cookie.counter),
        .len = len,
    };
    if (!key.cookie)
        return 0; // no hook ever asked for it: nothing was noted
    __s64 *pending = bpf_map_lookup_elem(&queued_local, &key);
    if (!pending || *pending <= 0)
        return 0;
    __sync_fetch_and_add(pending, -1);
    return 1;
}

// Attached to the root cgroup v2: every packet the kernel delivers to a socket of any
// process, just before it is queued (for UDP, before the receive buffer is checked),
// with data starting at the IP header. Notes a local UDP datagram for its socket, by
// the same rule as the socket's own addresses; anything else returns at once. Always
// lets the packet through.
SEC("cgroup_skb/ingress")
int note_ingress(struct __sk_buff *skb)
{
    void *data = (void *)(long)skb->data;
    void *end = (void *)(long)skb->data_end;
    __u32 header_len;
    if (skb->protocol == bpf_htons(ETH_P_IP)) {
        struct ipv4_header *h = data;
        if ((void *)(h + 1) > end || h->protocol != IPPROTO_UDP || !is_local_v4(h->daddr, h->saddr))
            return 1;
        header_len = (h->version_ihl & 0xf) * 4;
    } else if (skb->protocol == bpf_htons(ETH_P_IPV6)) {
        struct ipv6_header *h = data;
        // A datagram behind extension headers is not looked into: it is counted.
        if ((void *)(h + 1) > end || h->next != IPPROTO_UDP)
            return 1;
        __u32 d[4] = { h->daddr[0], h->daddr[1], h->daddr[2], h->daddr[3] };
        __u32 s[4] = { h->saddr[0], h->saddr[1], h->saddr[2], h->saddr[3] };
        if (!is_local_v6(d, s))
            return 1;
        header_len = sizeof(*h);
    } else {
        return 1;
    }
    // A raw socket gets a copy too; only UDP sockets' reads take notes away.
    struct bpf_sock *sk = skb->sk;
    if (sk)
        sk = bpf_sk_fullsock(sk);
    if (!sk || sk->type != SOCK_DGRAM || sk->protocol != IPPROTO_UDP)
        return 1;
    if (skb->len < header_len + 8 || local_counted())
        return 1;
    // The payload: what a read of the whole datagram returns.
    add_queued(bpf_get_socket_cookie(skb), skb->len - header_len - 8);
    return 1;
}

// udp_fail_queue_rcv_skb(int rc, struct sock *sk, struct sk_buff *skb) (its skb since
// Linux 6.10): a datagram the hook above saw was not queued, its socket's receive
// buffer being full. The UDP header is pulled by then: skb->len is the payload.
// As for the tracepoints below, a test may build the program with another name here.
#ifndef FERROW_DROP_TRACEPOINT
#define FERROW_DROP_TRACEPOINT "raw_tp/udp_fail_queue_rcv_skb"
#endif

SEC(FERROW_DROP_TRACEPOINT)
int forget_dropped(struct bpf_raw_tracepoint_args *ctx)
{
    struct sock *sk = (struct sock *)ctx->args[1];
    struct sk_buff *skb = (struct sk_buff *)ctx->args[2];
    if (!sk || !skb)
        return 0;
    unsigned char *ip = BPF_CORE_READ(skb, head) + BPF_CORE_READ(skb, network_header);
    __u8 version;
    if (bpf_probe_read_kernel(&version, 1, ip) != 0)
        return 0;
    version >>= 4;
    if (version == 4) {
        struct ipv4_header h;
        if (bpf_probe_read_kernel(&h, sizeof(h), ip) != 0 || !is_local_v4(h.daddr, h.saddr))
            return 0;
    } else if (version == 6) {
        struct ipv6_header h;
        if (bpf_probe_read_kernel(&h, sizeof(h), ip) != 0 || !is_local_v6(h.daddr, h.saddr))
            return 0;
    } else {
        return 0;
    }
    take_queued(sk, BPF_CORE_READ(skb, len));
    return 0;
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
    struct sock *sk = (struct sock *)ctx->args[0];
    int bytes = (int)ctx->args[1];
    int local = sent_to_local(sk);
    unsigned short family = inet_family(sk);
    if (bytes <= 0 || !family)
        return 0;
    if (!local_counted() && (local || is_local_peer(sk, family)))
        return 0;
    add_to_process(bytes, 1);
    return 0;
}

SEC(FERROW_RECV_TRACEPOINT)
int count_recv(struct bpf_raw_tracepoint_args *ctx)
{
    struct sock *sk = (struct sock *)ctx->args[0];
    int bytes = (int)ctx->args[1];
    unsigned short family = inet_family(sk);
    // A peek leaves the data queued: it is counted when it is really read.
    if (bytes <= 0 || !family || ((int)ctx->args[2] & MSG_PEEK))
        return 0;
    if (!local_counted()) {
        // A UDP read takes its datagram's note away, whatever the socket's peer.
        int local = BPF_CORE_READ(sk, sk_protocol) == IPPROTO_UDP && take_queued(sk, (__u32)bytes);
        if (local || is_local_peer(sk, family))
            return 0;
    }
    add_to_process(bytes, 0);
    return 0;
}

// ---------------------------------------------------------------------------
// The fexit attachment (kernels with BTF and BPF trampolines, before 6.3)
// ---------------------------------------------------------------------------
// Each runs when the function returns, with its arguments and its result in ctx.

// A datagram socket's send may name its destination (sendto()); the kernel's copy of
// that address is still in msg when the send returns. Else the socket decides.
static __always_inline int is_local_send(struct socket *sock, struct sock *sk,
                                         unsigned short family, struct msghdr *msg)
{
    void *name = BPF_CORE_READ(msg, msg_name);
    int namelen = BPF_CORE_READ(msg, msg_namelen);
    if (!name || BPF_CORE_READ(sock, type) != SOCK_DGRAM)
        return is_local_peer(sk, family);
    __u16 name_family = 0;
    bpf_probe_read_kernel(&name_family, sizeof(name_family), name);
    if (name_family == AF_INET && namelen >= 8) {
        __u32 d = 0;
        bpf_probe_read_kernel(&d, sizeof(d), name + 4);
        if (family == AF_INET)
            return is_local_v4(d, BPF_CORE_READ(sk, __sk_common.skc_rcv_saddr));
        return is_loopback_v4(d);
    }
    if (name_family == AF_INET6 && namelen >= 24 && family == AF_INET6) {
        __u32 d[4] = {}, s[4] = {};
        bpf_probe_read_kernel(d, sizeof(d), name + 8);
        bpf_core_read(s, sizeof(s), &sk->__sk_common.skc_v6_rcv_saddr);
        return is_local_v6(d, s);
    }
    return is_local_peer(sk, family);
}

static __always_inline void fexit_send(struct socket *sock, struct msghdr *msg, int ret)
{
    struct sock *sk = BPF_CORE_READ(sock, sk);
    unsigned short family = inet_family(sk);
    if (ret <= 0 || !family)
        return;
    if (!local_counted() && is_local_send(sock, sk, family, msg))
        return;
    add_to_process(ret, 1);
}

static __always_inline void fexit_recv(struct socket *sock, int flags, int ret)
{
    struct sock *sk = BPF_CORE_READ(sock, sk);
    int local = received_from_local(sk);
    unsigned short family = inet_family(sk);
    if (ret <= 0 || !family || (flags & MSG_PEEK))
        return;
    if (!local_counted() && (local || is_local_peer(sk, family)))
        return;
    add_to_process(ret, 0);
}

// void skb_consume_udp(struct sock *sk, struct sk_buff *skb, int len): a UDP datagram
// read by its reader, on entry, before the receive returns. One whose source or
// destination is local is noted for the receive's fexit program: its socket may be
// unconnected and bound to a wildcard address, so the socket alone cannot tell.
SEC("fentry/skb_consume_udp")
int fentry_skb_consume_udp(__u64 *ctx)
{
    struct sock *sk = (struct sock *)ctx[0];
    struct sk_buff *skb = (struct sk_buff *)ctx[1];
    if (!sk || !skb)
        return 0;
    unsigned char *ip = BPF_CORE_READ(skb, head) + BPF_CORE_READ(skb, network_header);
    __u8 version;
    if (bpf_probe_read_kernel(&version, 1, ip) != 0)
        return 0;
    version >>= 4;
    if (version == 4) {
        struct {
            __u8 version_ihl, tos;
            __u16 len, id, frag;
            __u8 ttl, protocol;
            __u16 check;
            __u32 saddr, daddr;
        } h;
        if (bpf_probe_read_kernel(&h, sizeof(h), ip) != 0 || !is_local_v4(h.daddr, h.saddr))
            return 0;
    } else if (version == 6) {
        struct {
            __u32 flow;
            __u16 len;
            __u8 next, hops;
            __u32 saddr[4], daddr[4];
        } h;
        if (bpf_probe_read_kernel(&h, sizeof(h), ip) != 0 || !is_local_v6(h.daddr, h.saddr))
            return 0;
    } else {
        return 0;
    }
    note_local_receive(BPF_CORE_READ(sk, __sk_common.skc_num));
    return 0;
}

// int inet_sendmsg(struct socket *sock, struct msghdr *msg, size_t size)
SEC("fexit/inet_sendmsg")
int fexit_inet_sendmsg(__u64 *ctx)
{
    fexit_send((struct socket *)ctx[0], (struct msghdr *)ctx[1], (int)ctx[3]);
    return 0;
}

SEC("fexit/inet6_sendmsg")
int fexit_inet6_sendmsg(__u64 *ctx)
{
    fexit_send((struct socket *)ctx[0], (struct msghdr *)ctx[1], (int)ctx[3]);
    return 0;
}

// int inet_recvmsg(struct socket *sock, struct msghdr *msg, size_t size, int flags)
SEC("fexit/inet_recvmsg")
int fexit_inet_recvmsg(__u64 *ctx)
{
    fexit_recv((struct socket *)ctx[0], (int)ctx[3], (int)ctx[4]);
    return 0;
}

SEC("fexit/inet6_recvmsg")
int fexit_inet6_recvmsg(__u64 *ctx)
{
    fexit_recv((struct socket *)ctx[0], (int)ctx[3], (int)ctx[4]);
    return 0;
}

// ssize_t inet_sendpage(struct socket *sock, struct page *page, int offset, size_t size,
// int flags): sendfile() and splice() to a socket. A protocol without its own sendpage
// falls back to a plain sendmsg, which is counted there instead.
SEC("fexit/inet_sendpage")
int fexit_inet_sendpage(__u64 *ctx)
{
    struct socket *sock = (struct socket *)ctx[0];
    struct sock *sk = BPF_CORE_READ(sock, sk);
    long ret = (long)ctx[5];
    unsigned short family = inet_family(sk);
    if (ret <= 0 || !family)
        return 0;
    if (bpf_core_field_exists(struct proto, sendpage) && !BPF_CORE_READ(sk, __sk_common.skc_prot, sendpage))
        return 0;
    if (!local_counted() && is_local_peer(sk, family))
        return 0;
    add_to_process((int)ret, 1);
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
