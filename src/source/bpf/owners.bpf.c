// SPDX-License-Identifier: MIT
/* Records the owner of a socket at the moments the owner itself drives it: the
 * end of a connect or accept call, a TCP close, shutdown or abort. Transitions the
 * network stack makes on its own (in softirq, in timers, on behalf of the
 * peer) run in whatever task happens to be interrupted and are left out. */
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

#define SV_PF_KTHREAD 0x00200000
#define SV_IPPROTO_TCP 6
#define SV_IPPROTO_UDP 17
#define SV_SOCK_STREAM 1
#define SV_SOCK_DGRAM 2

enum {
  SV_TCP_FIN_WAIT1 = 4,
  SV_TCP_CLOSE = 7,
  SV_TCP_LAST_ACK = 9,
  SV_TCP_LISTEN = 10,
};

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

/* Kernel threads own sockets for the kernel (NFS, iSCSI, TLS workers); they
 * are nobody's process. */
static __always_inline struct task_struct* user_task(void) {
  struct task_struct* task = bpf_get_current_task_btf();
  if (BPF_CORE_READ(task, flags) & SV_PF_KTHREAD) return 0;
  return task;
}

/* `sk` may be a trusted pointer or a plain address: everything is read with
 * CO-RE reads, which work for both. */
static __always_inline void emit(struct task_struct* task, struct sock* sk, __u64 cookie, __u8 protocol,
                                 __u8 state) {
  struct sv_owner_record rec;
  __builtin_memset(&rec, 0, SV_RECORD_HEAD);

  __u16 family = BPF_CORE_READ(sk, __sk_common.skc_family);
  if (family == SV_FAMILY_INET) {
    __u32 src = BPF_CORE_READ(sk, __sk_common.skc_rcv_saddr);
    __u32 dst = BPF_CORE_READ(sk, __sk_common.skc_daddr);
    __builtin_memcpy(rec.src, &src, 4);
    __builtin_memcpy(rec.dst, &dst, 4);
  } else if (family == SV_FAMILY_INET6) {
    BPF_CORE_READ_INTO(&rec.src, sk, __sk_common.skc_v6_rcv_saddr);
    BPF_CORE_READ_INTO(&rec.dst, sk, __sk_common.skc_v6_daddr);
  } else {
    return;
  }
  rec.family = (__u8)family;
  /* Not skc_num: a close gives an automatically bound port back before the
   * state change is announced, and zeroes skc_num with it. */
  rec.src_port = bpf_ntohs(BPF_CORE_READ((struct inet_sock*)sk, inet_sport));
  rec.dst_port = bpf_ntohs(BPF_CORE_READ(sk, __sk_common.skc_dport));
  rec.protocol = protocol;
  rec.state = state;
  rec.cookie = cookie;
  rec.when_ns = bpf_ktime_get_ns();
  rec.tgid = (__u32)(bpf_get_current_pid_tgid() >> 32);
  rec.task_start_ns = BPF_CORE_READ(task, group_leader, start_time);

  /* A process closing its sockets on exit has already given up its memory
   * map, and with it the image: the name stays empty then. */
  const unsigned char* name = BPF_CORE_READ(task, mm, exe_file, f_path.dentry, d_name.name);
  long n = 0;
  if (name) n = bpf_probe_read_kernel_str(rec.name, sizeof(rec.name), name);
  __u32 len = n > 1 ? (__u32)(n - 1) : 0;
  if (len > SV_NAME_MAX) len = 0;
  rec.name_len = (__u16)len;

  if (bpf_ringbuf_output(&records, &rec, SV_RECORD_HEAD + len, 0)) count_lost();
}

/* Syscall numbers of the calls that hand a process its end of a connection. */
#if defined(__TARGET_ARCH_x86)
#define SV_NR_CONNECT 42
#define SV_NR_ACCEPT 43
#define SV_NR_ACCEPT4 288
#define SV_TS_COMPAT 0x0002
#elif defined(__TARGET_ARCH_arm64)
#define SV_NR_CONNECT 203
#define SV_NR_ACCEPT 202
#define SV_NR_ACCEPT4 242
#else
#error "syscall numbers for this architecture are missing"
#endif
#define SV_EINPROGRESS 115

/* `regs` is the tracepoint's own, typed argument: read directly, without a
 * helper call, since this runs at the end of every system call. */
static __always_inline long syscall_nr(struct pt_regs* regs) {
#if defined(__TARGET_ARCH_x86)
  return regs->orig_ax;
#else
  return regs->syscallno;
#endif
}

/* The socket behind a descriptor of the current process, or 0. A file whose
 * private data does not point back at it is no socket. */
static __always_inline struct sock* socket_of_fd(struct task_struct* task, long fd) {
  if (fd < 0) return 0;
  struct fdtable* fdt = BPF_CORE_READ(task, files, fdt);
  if (!fdt || (unsigned long)fd >= BPF_CORE_READ(fdt, max_fds)) return 0;
  struct file** fds = BPF_CORE_READ(fdt, fd);
  struct file* file = 0;
  if (bpf_probe_read_kernel(&file, sizeof(file), &fds[fd]) || !file) return 0;
  struct socket* sock = BPF_CORE_READ(file, private_data);
  if (!sock || BPF_CORE_READ(sock, file) != file) return 0;
  return BPF_CORE_READ(sock, sk);
}

/* The end of a connect or accept call, in the calling process: a connected
 * TCP or UDP socket, its source port chosen. Every system call passes here,
 * so everything else leaves at the first test. */
SEC("tp_btf/sys_exit")
int BPF_PROG(sv_sys_exit, struct pt_regs* regs, long ret) {
  long nr = syscall_nr(regs);
  int connect = nr == SV_NR_CONNECT;
  if (!connect && nr != SV_NR_ACCEPT && nr != SV_NR_ACCEPT4) return 0;
  struct task_struct* task = user_task();
  if (!task) return 0;
#ifdef SV_TS_COMPAT
  /* A 32-bit process numbers its calls differently. */
  if (BPF_CORE_READ(task, thread_info.status) & SV_TS_COMPAT) return 0;
#endif
  long fd;
  if (connect) {
    if (ret != 0 && ret != -SV_EINPROGRESS) return 0;
    fd = (long)PT_REGS_PARM1_CORE_SYSCALL(regs);
  } else {
    fd = ret;
  }
  struct sock* sk = socket_of_fd(task, fd);
  if (!sk) return 0;
  /* A raw socket may carry the number of either protocol. */
  __u16 type = BPF_CORE_READ(sk, sk_type);
  __u8 protocol = BPF_CORE_READ(sk, sk_protocol);
  __u8 state = 0;
  if (protocol == SV_IPPROTO_TCP && type == SV_SOCK_STREAM) {
    state = BPF_CORE_READ(sk, __sk_common.skc_state);
  } else if (protocol != SV_IPPROTO_UDP || type != SV_SOCK_DGRAM || !connect) {
    return 0;
  }
  /* A connect to AF_UNSPEC succeeds too: it dissolves the connection. */
  if (!BPF_CORE_READ(sk, __sk_common.skc_dport)) return 0;
  /* Only sockets the kernel already gave a cookie have one here. */
  emit(task, sk, BPF_CORE_READ(sk, __sk_common.skc_cookie.counter), protocol, state);
  return 0;
}

/* A process that closes, shuts down or aborts its connection holds the socket
 * lock while the state changes; the stack's own changes (a peer's FIN or RST,
 * a timer, the handshake of a server's child) run without it. A change made
 * while the lock holder works through the packets queued meanwhile also runs in
 * the holder, which is the socket's user all the same. */
SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(sv_tcp_state, struct sock* sk, int oldstate, int newstate) {
  if (sk->sk_protocol != SV_IPPROTO_TCP) return 0;
  if (newstate != SV_TCP_FIN_WAIT1 && newstate != SV_TCP_LAST_ACK && newstate != SV_TCP_CLOSE) return 0;
  if (oldstate == SV_TCP_LISTEN || oldstate == SV_TCP_CLOSE) return 0;
  if (!sk->sk_lock.owned) return 0;
  struct task_struct* task = user_task();
  if (!task) return 0;
  /* Asking for the cookie makes the kernel assign it now: the value a socket
   * dump or a destroy notification reports later. */
  emit(task, sk, bpf_get_socket_cookie(sk), SV_IPPROTO_TCP, (__u8)newstate);
  return 0;
}
