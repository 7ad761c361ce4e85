// SPDX-License-Identifier: MIT
/* Who owns a socket, as the kernel knows it. Hooks that run only when a socket
 * is connected, changes its TCP state or is let go record its owner at that
 * moment; an iterator lists every socket descriptor of every process on
 * demand. Nothing here runs on other system calls. Only sockets of the
 * network namespace the program watches count, and processes are numbered
 * as the /proc it reads numbers them. */
// clang-format off: the kernel's types come before everything that uses them.
#include "vmlinux.h"
// clang-format on

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "owners_record.h"

/* The kernel lends its tracing helpers to GPL-compatible programs only. */
char LICENSE[] SEC("license") = "Dual MIT/GPL";

/* Built once per part, each loaded whole and on its own: SV_WALKS the
 * descriptor walk and the task pass; SV_HOOKS 1 the TCP state hook, 2 with
 * the cgroup hooks too (which need CAP_NET_ADMIN to load); SV_TABLES the
 * socket tables. SV_CAST: see the task pass. */
#ifndef SV_WALKS
#define SV_WALKS 0
#endif
#ifndef SV_HOOKS
#define SV_HOOKS 0
#endif
#ifndef SV_CAST
#define SV_CAST 0
#endif
#ifndef SV_TABLES
#define SV_TABLES 0
#endif

#define SV_PF_KTHREAD 0x00200000
#define SV_IPPROTO_TCP 6
#define SV_IPPROTO_UDP 17
#define SV_SOCK_STREAM 1
#define SV_SOCK_DGRAM 2
#define SV_S_IFMT 00170000
#define SV_S_IFSOCK 0140000
/* PID namespaces nest at most this deep. */
#define SV_MAX_PID_LEVELS 32

enum {
  SV_TCP_SYN_SENT = 2,
  SV_TCP_FIN_WAIT1 = 4,
  SV_TCP_CLOSE = 7,
  SV_TCP_LAST_ACK = 9,
  SV_TCP_LISTEN = 10,
};

/* Set before loading: the network namespace watched (its cookie) and the PID
 * namespace of the /proc read (its inode number). */
const volatile __u64 sv_netns_cookie = 0;
const volatile __u32 sv_pidns_inum = 0;
/* Without the cgroup hooks a TCP connect is recorded from its state change. */
const volatile bool sv_connect_by_state = false;

/* The process whose name the walk wrote last; user space clears it before a
 * walk. */
__u32 sv_named_tgid = 0;

#if SV_HOOKS >= 1
struct {
  __uint(type, BPF_MAP_TYPE_RINGBUF);
  __uint(max_entries, 4 * 1024 * 1024);
} records SEC(".maps");

/* Records the ring had no room for, per CPU; user space sums them. */
struct {
  __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
  __uint(max_entries, 1);
  __type(key, __u32);
  __type(value, __u64);
} lost SEC(".maps");

static __always_inline void count_lost(void) {
  __u32 zero = 0;
  __u64* n = bpf_map_lookup_elem(&lost, &zero);
  if (n) *n += 1;
}

#endif

#if SV_WALKS || SV_HOOKS
/* The thread group's number in the PID namespace of the /proc read, or 0 when
 * it has none there: a process that /proc does not show is nobody's to name. */
static __always_inline __u32 visible_tgid(struct task_struct* task) {
  struct pid* pid = BPF_CORE_READ(task, group_leader, thread_pid);
  if (!pid) return 0;
  unsigned int level = BPF_CORE_READ(pid, level);
  unsigned long numbers = (unsigned long)pid + bpf_core_field_offset(struct pid, numbers);
  unsigned long size = bpf_core_type_size(struct upid);
  for (unsigned int i = 0; i < SV_MAX_PID_LEVELS && i <= level; i++) {
    struct upid number;
    if (bpf_probe_read_kernel(&number, sizeof(number), (void*)(numbers + i * size))) return 0;
    if (BPF_CORE_READ(number.ns, ns.inum) == sv_pidns_inum) return number.nr > 0 ? (__u32)number.nr : 0;
  }
  return 0;
}

/* The file name of the process's image into `out`; its length, 0 when the
 * process has let its memory map go (it is exiting). */
static __always_inline __u32 image_name(struct task_struct* task, char* out, __u32 size) {
  const unsigned char* name = BPF_CORE_READ(task, mm, exe_file, f_path.dentry, d_name.name);
  if (!name) return 0;
  long n = bpf_probe_read_kernel_str(out, size, name);
  if (n <= 1 || n > SV_NAME_MAX + 1) return 0;
  return (__u32)(n - 1);
}

#endif

#if SV_HOOKS >= 1
/* Kernel threads own sockets for the kernel (NFS, iSCSI, TLS workers); they
 * are nobody's process. */
static __always_inline struct task_struct* user_task(void) {
  struct task_struct* task = bpf_get_current_task_btf();
  if (BPF_CORE_READ(task, flags) & SV_PF_KTHREAD) return 0;
  return task;
}

static __always_inline int watched_net(struct sock* sk) {
  return BPF_CORE_READ(sk, __sk_common.skc_net.net, net_cookie) == sv_netns_cookie;
}

static __always_inline void fill_owner(struct sv_owner_record* rec, struct task_struct* task) {
  if (!task) return;
  rec->tgid = visible_tgid(task);
  if (!rec->tgid) return;
  rec->task_start_ns = BPF_CORE_READ(task, group_leader, start_time);
  rec->name_len = (__u16)image_name(task, rec->name, sizeof(rec->name));
}

static __always_inline void send(struct sv_owner_record* rec) {
  __u32 len = rec->name_len;
  if (len > SV_NAME_MAX) len = 0;
  if (bpf_ringbuf_output(&records, rec, SV_RECORD_HEAD + len, 0)) count_lost();
}

/* The addresses and ports of `sk` as they are now. False for a family that is
 * not ours. `sk` may be a trusted pointer or a plain address: everything is
 * read with CO-RE reads, which work for both. */
static __always_inline int fill_tuple(struct sv_owner_record* rec, struct sock* sk) {
  __u16 family = BPF_CORE_READ(sk, __sk_common.skc_family);
  if (family == SV_FAMILY_INET) {
    __u32 src = BPF_CORE_READ(sk, __sk_common.skc_rcv_saddr);
    __u32 dst = BPF_CORE_READ(sk, __sk_common.skc_daddr);
    __builtin_memcpy(rec->src, &src, 4);
    __builtin_memcpy(rec->dst, &dst, 4);
  } else if (family == SV_FAMILY_INET6) {
    BPF_CORE_READ_INTO(&rec->src, sk, __sk_common.skc_v6_rcv_saddr);
    BPF_CORE_READ_INTO(&rec->dst, sk, __sk_common.skc_v6_daddr);
  } else {
    return 0;
  }
  rec->family = (__u8)family;
  /* Not skc_num: a close gives an automatically bound port back before the
   * state change is announced, and zeroes skc_num with it. */
  rec->src_port = bpf_ntohs(BPF_CORE_READ((struct inet_sock*)sk, inet_sport));
  rec->dst_port = bpf_ntohs(BPF_CORE_READ(sk, __sk_common.skc_dport));
  return 1;
}
#endif

#if SV_WALKS || SV_HOOKS >= 2
static __always_inline int our_protocol(__u32 protocol, __u32 type) {
  return (protocol == SV_IPPROTO_TCP && type == SV_SOCK_STREAM) ||
         (protocol == SV_IPPROTO_UDP && type == SV_SOCK_DGRAM);
}
#endif

#if SV_HOOKS >= 2
/* A record of `kind` owned by the process the hook runs in; false when that
 * is nobody's to name. */
static __always_inline int owned_record(struct sv_owner_record* rec, __u8 kind, __u32 protocol,
                                        __u64 cookie) {
  struct task_struct* task = user_task();
  if (!task) return 0;
  __builtin_memset(rec, 0, SV_RECORD_HEAD);
  fill_owner(rec, task);
  if (!rec->tgid) return 0;
  rec->kind = kind;
  rec->protocol = (__u8)protocol;
  rec->cookie = cookie;
  rec->when_ns = bpf_ktime_get_ns();
  return 1;
}

/* A connect in the connecting process, TCP or UDP, before the kernel picks
 * the source: the destination asked for and the owner. Never refuses it. */
static __always_inline int on_connect(struct bpf_sock_addr* ctx, int ipv6) {
  if (bpf_get_netns_cookie(ctx) != sv_netns_cookie) return 1;
  if (!our_protocol(ctx->protocol, ctx->type)) return 1;
  struct sv_owner_record rec;
  if (!owned_record(&rec, SV_KIND_CONNECT, ctx->protocol, bpf_get_socket_cookie(ctx))) return 1;
  if (ipv6) {
    rec.family = SV_FAMILY_INET6;
    __u32 dst[4] = {ctx->user_ip6[0], ctx->user_ip6[1], ctx->user_ip6[2], ctx->user_ip6[3]};
    __builtin_memcpy(rec.dst, dst, 16);
  } else {
    rec.family = SV_FAMILY_INET;
    __u32 dst = ctx->user_ip4;
    __builtin_memcpy(rec.dst, &dst, 4);
  }
  rec.dst_port = bpf_ntohs((__u16)ctx->user_port);
  if (rec.protocol == SV_IPPROTO_TCP) rec.state = SV_TCP_SYN_SENT;
  send(&rec);
  return 1;
}

SEC("cgroup/connect4")
int sv_connect4(struct bpf_sock_addr* ctx) {
  return on_connect(ctx, 0);
}

SEC("cgroup/connect6")
int sv_connect6(struct bpf_sock_addr* ctx) {
  return on_connect(ctx, 1);
}

/* The last descriptor of a socket goes, in the process that closes it (or
 * exits). Its ports are not readable here: the cookie says which it was. */
SEC("cgroup/sock_release")
int sv_release(struct bpf_sock* ctx) {
  if (ctx->family != SV_FAMILY_INET && ctx->family != SV_FAMILY_INET6) return 1;
  if (!our_protocol(ctx->protocol, ctx->type)) return 1;
  if (bpf_get_netns_cookie(ctx) != sv_netns_cookie) return 1;
  struct sv_owner_record rec;
  if (!owned_record(&rec, SV_KIND_RELEASE, ctx->protocol, bpf_get_socket_cookie(ctx))) return 1;
  rec.family = (__u8)ctx->family;
  send(&rec);
  return 1;
}

#endif

#if SV_HOOKS >= 1
/* TCP state changes. The owner makes some itself, holding the socket lock: the
 * connect (to SYN_SENT) and the close, shutdown or abort. The stack's own
 * changes (a peer's FIN or RST, a timer, the handshake of a server's child)
 * run without it, in whatever task a softirq interrupted, and name nobody; of
 * those only a connect that failed is recorded, so that it is told apart from
 * a connection that closed. */
SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(sv_tcp_state, struct sock* sk, int oldstate, int newstate) {
  if (sk->sk_protocol != SV_IPPROTO_TCP || sk->sk_type != SV_SOCK_STREAM) return 0;
  int by_owner = sk->sk_lock.owned;
  int connect = sv_connect_by_state && oldstate == SV_TCP_CLOSE && newstate == SV_TCP_SYN_SENT;
  int closing = newstate == SV_TCP_FIN_WAIT1 || newstate == SV_TCP_LAST_ACK || newstate == SV_TCP_CLOSE;
  if (oldstate == SV_TCP_LISTEN || (oldstate == SV_TCP_CLOSE && !connect)) return 0;
  if (connect || closing) {
    if (!by_owner && oldstate != SV_TCP_SYN_SENT) return 0;
  } else {
    return 0;
  }
  if (!watched_net(sk)) return 0;
  struct sv_owner_record rec;
  __builtin_memset(&rec, 0, SV_RECORD_HEAD);
  if (!fill_tuple(&rec, sk)) return 0;
  if (by_owner) fill_owner(&rec, user_task());
  if (connect && !rec.tgid) return 0;
  rec.kind = SV_KIND_STATE;
  rec.protocol = SV_IPPROTO_TCP;
  rec.state = (__u8)newstate;
  rec.old_state = (__u8)oldstate;
  /* Asking for the cookie makes the kernel assign it now: the value a socket
   * dump or a destroy notification reports later. */
  rec.cookie = bpf_get_socket_cookie(sk);
  rec.when_ns = bpf_ktime_get_ns();
  send(&rec);
  return 0;
}

#endif

#if SV_WALKS
/* A descriptor's share of its table's fingerprint: the pass and the walk sum
 * it over every descriptor, in whatever order they visit them. The kernel
 * hands a freed file to the next open at once, often at the same descriptor
 * number; the inode number (a socket's is not soon reused) tells the two
 * apart. */
static __always_inline __u64 mix(__u64 x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

static __always_inline __u64 descriptor_print(__u32 fd, __u64 file, __u64 inode) {
  return mix(mix(mix(file) ^ inode) + fd);
}

/* The socket behind `file` when it is one of ours: TCP or UDP, in the network
 * namespace watched. */
static __always_inline struct sock* watched_socket(struct file* file) {
  struct socket* sock = bpf_sock_from_file(file);
  if (!sock) return 0;
  struct sock* sk = sock->sk;
  if (!sk) return 0;
  __u16 family = sk->__sk_common.skc_family;
  if (family != SV_FAMILY_INET && family != SV_FAMILY_INET6) return 0;
  if (!our_protocol(sk->sk_protocol, sk->sk_type)) return 0;
  if (sk->__sk_common.skc_net.net->net_cookie != sv_netns_cookie) return 0;
  return sk;
}

/* The task the walk is in, its number and its table's fingerprint so far;
 * user space clears them before a walk. The kernel visits the descriptors of
 * one task together. */
__u64 sv_walk_task = 0;
__u32 sv_walk_tgid = 0;
__u64 sv_walk_print = 0;
__u64 sv_walk_file = 0;

/* Every TCP and UDP socket descriptor of every process: one seq-file entry per
 * descriptor, after one name entry per process; after each table, its
 * fingerprint, over all its descriptors. The kernel visits a table shared by
 * threads once. This runs for every descriptor on the host: the task's number
 * is worked out once per task, and fields are read directly.
 *
 * When a write does not fit, the kernel drops everything this call wrote and
 * shows the same descriptor again at the next read: what the call counts is
 * kept only once all its writes are in. */
SEC("iter/task_file")
int sv_held(struct bpf_iter__task_file* ctx) {
  struct seq_file* seq = ctx->meta->seq;
  struct task_struct* task = ctx->task;
  struct file* file = ctx->file;
  __u32 tgid = sv_walk_tgid;
  __u64 print = sv_walk_print;
  __u32 named = sv_named_tgid;
  if ((__u64)task != sv_walk_task) {
    if (sv_walk_task && tgid) {
      struct sv_walked_table done = {.tgid = tgid, .mark = SV_TABLE_ENTRY, .print = print};
      if (bpf_seq_write(seq, &done, sizeof(done))) return 0;
    }
    tgid = 0;
    print = 0;
    if (task && !(task->flags & SV_PF_KTHREAD)) tgid = visible_tgid(task);
  }
  if (task && file && tgid) {
    /* The verifier lets no pointer be mixed; one stored in a map reads back
     * as a plain number. */
    *(volatile __u64*)&sv_walk_file = (__u64)file;
    __u64 address = *(volatile __u64*)&sv_walk_file;
    print += descriptor_print(ctx->fd, address, file->f_inode->i_ino);
    if (watched_socket(file)) {
      if (tgid != named) {
        struct {
          struct sv_held_socket head;
          char name[SV_NAME_MAX + 1];
        } entry;
        __builtin_memset(&entry, 0, sizeof(entry));
        __u32 len = image_name(task, entry.name, sizeof(entry.name));
        entry.head.tgid = tgid;
        entry.head.fd = len;
        __u32 size = sizeof(entry.head) + ((len + 7) & ~7u);
        if (size > sizeof(entry)) return 0;
        if (bpf_seq_write(seq, &entry, size)) return 0;
      }
      struct sv_held_socket held = {
          .inode = file->f_inode->i_ino,
          .tgid = tgid,
          .fd = ctx->fd,
      };
      if (bpf_seq_write(seq, &held, sizeof(held))) return 0;
      named = tgid;
    }
  }
  sv_walk_task = (__u64)task;
  sv_walk_tgid = tgid;
  sv_walk_print = print;
  sv_named_tgid = named;
  return 0;
}

/* The pass reads a table's file pointers this many at a time. */
#define SV_PRINT_CHUNK 256
/* A table with more slots than this is not fingerprinted: a process may grow
 * its table to a million slots, and the pass runs at every poll. */
#define SV_PRINT_SLOTS_MAX (1u << 16)

/* Twice the chunk: the verifier proves a read of a masked length in bounds. */
struct sv_print_chunk {
  __u64 file[2 * SV_PRINT_CHUNK];
};

struct {
  __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
  __uint(max_entries, 1);
  __type(key, __u32);
  __type(value, struct sv_print_chunk);
} print_chunk SEC(".maps");

struct print_state {
  __u64 slots; /* the table's array of file pointers */
  __u32 max_fds;
  __u32 failed;
  __u64 print;
  struct sv_print_chunk* chunk;
};

/* Where the kernel has it (6.2 on), the file is read through its address
 * directly, at the cost of a load; else through a helper call. */
extern void* bpf_rdonly_cast(const void* obj, __u32 btf_id) __ksym __weak;

static __always_inline long print_slot_with(__u32 fd, struct print_state* state, int cast) {
  struct sv_print_chunk* chunk = state->chunk;
  __u32 at = fd & (SV_PRINT_CHUNK - 1);
  if (at == 0) {
    __u32 n = state->max_fds - fd;
    if (n > SV_PRINT_CHUNK) n = SV_PRINT_CHUNK;
    asm volatile("" : "+r"(n)); /* else the compiler drops the mask the verifier needs */
    n &= 2 * SV_PRINT_CHUNK - 1;
    if (n == 0 || bpf_probe_read_kernel(chunk->file, n * sizeof(__u64), (void*)(state->slots + fd * 8ull))) {
      state->failed = 1;
      return 1;
    }
  }
  __u64 file = chunk->file[at];
  if (!file) return 0;
  __u64 inode;
  if (cast) {
    struct file* f = bpf_rdonly_cast((void*)file, bpf_core_type_id_kernel(struct file));
    inode = f->f_inode->i_ino;
  } else {
    inode = BPF_CORE_READ((struct file*)file, f_inode, i_ino);
  }
  state->print += descriptor_print(fd, file, inode);
  return 0;
}

static long print_slot(__u32 fd, void* data) {
  return print_slot_with(fd, data, 0);
}

static long print_slot_cast(__u32 fd, void* data) {
  return print_slot_with(fd, data, 1);
}

/* The fingerprint of a descriptor table, as the walk sums it, into `run`. */
static __always_inline void take_print(struct files_struct* files, struct sv_task_run* run, int cast) {
  run->table = SV_TABLE_UNKNOWN;
  if (!files) {
    run->table = SV_TABLE_PRINTED; /* an exiting thread: nothing to walk either */
    return;
  }
  struct fdtable* fdt = BPF_CORE_READ(files, fdt);
  if (!fdt) return;
  struct print_state state = {
      .slots = (__u64)BPF_CORE_READ(fdt, fd),
      .max_fds = BPF_CORE_READ(fdt, max_fds),
  };
  if (!state.slots || state.max_fds > SV_PRINT_SLOTS_MAX) return;
  __u32 zero = 0;
  state.chunk = bpf_map_lookup_elem(&print_chunk, &zero);
  if (!state.chunk) return;
  if (bpf_loop(state.max_fds, cast ? print_slot_cast : print_slot, &state, 0) < 0 || state.failed) return;
  run->print = state.print;
  run->table = SV_TABLE_PRINTED;
}

/* Every thread of every process /proc shows: how long it has run, which
 * descriptor table it uses and that table's fingerprint, taken once per
 * table as the walk visits them (a thread sharing its main thread's table
 * leaves it to that one). */
static __always_inline int report_run(struct bpf_iter__task* ctx, int cast) {
  struct task_struct* task = ctx->task;
  if (!task) return 0;
  if (BPF_CORE_READ(task, flags) & SV_PF_KTHREAD) return 0;
  __u32 tgid = visible_tgid(task);
  if (!tgid) return 0;
  struct files_struct* files = BPF_CORE_READ(task, files);
  struct sv_task_run run = {
      .run_ns = BPF_CORE_READ(task, se.sum_exec_runtime),
      .files = (__u64)files,
      .tgid = tgid,
      .tid = (__u32)BPF_CORE_READ(task, pid),
  };
  struct task_struct* leader = BPF_CORE_READ(task, group_leader);
  if ((__u64)leader != (__u64)task && files == BPF_CORE_READ(leader, files)) {
    run.table = SV_TABLE_SHARED;
  } else {
    take_print(files, &run, cast);
  }
  bpf_seq_write(ctx->meta->seq, &run, sizeof(run));
  return 0;
}

/* SV_CAST: the pass reads each file through its address (6.2 on); the object
 * built without it loads on older kernels. */
SEC("iter/task")
int sv_ran(struct bpf_iter__task* ctx) {
  return report_run(ctx, SV_CAST);
}
#endif

#if SV_TABLES
/* The socket tables: one fixed-size record per TCP or UDP socket of the
 * network namespace watched, with what a socket dump reports of it, less
 * what the filters user space set here drop. Fields are read directly (no
 * copy helper per field): these run for every socket on every poll. */
struct sv_table_filter sv_table = {};

#define SV_TCP_ESTABLISHED 1
#define SV_TCP_SYN_RECV 3
#define SV_TCP_TIME_WAIT 6
#define SV_TCP_NEW_SYN_RECV 12

/* Newer kernels keep the inode number in the socket itself. */
struct sock___sv_ino {
  unsigned long sk_ino;
} __attribute__((preserve_access_index));

/* The inode of the socket file holding `sk`, 0 for an orphan: the number a
 * dump reports. */
static __always_inline __u64 table_inode(struct sock* sk) {
  struct sock___sv_ino* with_ino = (void*)sk;
  if (bpf_core_field_exists(with_ino->sk_ino)) return with_ino->sk_ino;
  struct socket* sock = BPF_CORE_READ(sk, sk_socket);
  if (!sock) return 0;
  /* The inode follows the socket in the same allocation. */
  return BPF_CORE_READ((struct socket_alloc*)sock, vfs_inode.i_ino);
}

static __always_inline int in_ranges(const struct sv_port_range* ranges, __u32 count, __u16 port) {
  for (__u32 i = 0; i < SV_TABLE_RANGES; i++) {
    if (i >= count) break;
    if (port >= ranges[i].first && port <= ranges[i].last) return 1;
  }
  return 0;
}

/* Whether the filters set keep a socket with this destination. */
static __always_inline int table_keeps(const struct sv_table_socket* rec) {
  if (!sv_table.filtered) return 1;
  __u16 port = rec->dst_port;
  if (port == 0) return 0;
  if (sv_table.port_count && !in_ranges(sv_table.ports, sv_table.port_count, port)) return 0;
  if (in_ranges(sv_table.dropped_ports, sv_table.dropped_port_count, port)) return 0;
  if (!sv_table.dropped_count) return 1;
  /* The destination as rows hold it: IPv4 v4-mapped. */
  __u32 words[4];
  if (rec->family == SV_FAMILY_INET) {
    words[0] = 0;
    words[1] = 0;
    words[2] = bpf_htonl(0xffff);
    __builtin_memcpy(&words[3], rec->dst, 4);
  } else {
    __builtin_memcpy(words, rec->dst, 16);
  }
  __u32 mapped = words[0] == 0 && words[1] == 0 && words[2] == bpf_htonl(0xffff);
  __u64 dst[2];
  __builtin_memcpy(dst, words, 16);
  for (__u32 i = 0; i < SV_TABLE_PREFIXES; i++) {
    if (i >= sv_table.dropped_count) break;
    const struct sv_table_prefix* p = &sv_table.dropped[i];
    if (p->ipv4 == mapped && (dst[0] & p->mask[0]) == p->address[0] && (dst[1] & p->mask[1]) == p->address[1])
      return 0;
  }
  return 1;
}

/* Family, addresses and ports from the part every kind of socket shares.
 * False for a family that is not ours or another network namespace. */
static __always_inline int table_tuple(struct sv_table_socket* rec, struct sock_common* skc) {
  __u16 family = skc->skc_family;
  if (family != SV_FAMILY_INET && family != SV_FAMILY_INET6) return 0;
  if (skc->skc_net.net->net_cookie != sv_netns_cookie) return 0;
  rec->family = (__u8)family;
  rec->src_port = skc->skc_num;
  rec->dst_port = bpf_ntohs(skc->skc_dport);
  if (family == SV_FAMILY_INET) {
    __u32 src = skc->skc_rcv_saddr;
    __u32 dst = skc->skc_daddr;
    __builtin_memcpy(rec->src, &src, 4);
    __builtin_memcpy(rec->dst, &dst, 4);
  } else {
    __u32 src[4], dst[4];
    for (int i = 0; i < 4; i++) {
      src[i] = skc->skc_v6_rcv_saddr.in6_u.u6_addr32[i];
      dst[i] = skc->skc_v6_daddr.in6_u.u6_addr32[i];
    }
    __builtin_memcpy(rec->src, src, 16);
    __builtin_memcpy(rec->dst, dst, 16);
  }
  return 1;
}

SEC("iter/tcp")
int sv_tcp_table(struct bpf_iter__tcp* ctx) {
  struct sock_common* skc = ctx->sk_common;
  if (!skc) return 0;
  struct sv_table_socket rec = {};
  if (!table_tuple(&rec, skc)) return 0;
  rec.protocol = SV_IPPROTO_TCP;
  __u8 state = skc->skc_state;
  if (state == SV_TCP_TIME_WAIT) {
    struct tcp_timewait_sock* tw = bpf_skc_to_tcp_timewait_sock(skc);
    if (!tw) return 0;
    state = tw->tw_sk.tw_substate;
  } else if (state == SV_TCP_NEW_SYN_RECV) {
    state = SV_TCP_SYN_RECV;
  } else {
    struct tcp_sock* tp = bpf_skc_to_tcp_sock(skc);
    if (!tp) return 0;
    rec.inode = table_inode((struct sock*)tp);
    rec.uid = ctx->uid;
  }
  rec.state = state;
  if (!table_keeps(&rec)) return 0;
  rec.cookie = bpf_get_socket_cookie(skc);
  bpf_seq_write(ctx->meta->seq, &rec, sizeof(rec));
  return 0;
}

SEC("iter/udp")
int sv_udp_table(struct bpf_iter__udp* ctx) {
  struct udp_sock* udp = ctx->udp_sk;
  if (!udp) return 0;
  struct sock* sk = &udp->inet.sk;
  struct sv_table_socket rec = {};
  if (!table_tuple(&rec, &sk->__sk_common)) return 0;
  rec.protocol = SV_IPPROTO_UDP;
  rec.state = sk->__sk_common.skc_state;
  if (!table_keeps(&rec)) return 0;
  rec.inode = table_inode(sk);
  rec.uid = ctx->uid;
  rec.cookie = bpf_get_socket_cookie(sk);
  bpf_seq_write(ctx->meta->seq, &rec, sizeof(rec));
  return 0;
}
#endif
