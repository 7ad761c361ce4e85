/* One record of the owner tracer, as the BPF program hands it to user space
 * through the ring buffer. Shared by both sides: C for the BPF compiler, C++
 * for the reader; plain fixed-width fields, no implicit padding. */
#ifndef SOCKVANE_OWNERS_RECORD_H
#define SOCKVANE_OWNERS_RECORD_H

#ifdef __bpf__
typedef __u8 sv_u8;
typedef __u16 sv_u16;
typedef __u32 sv_u32;
typedef __u64 sv_u64;
#else
#include <stdint.h>
typedef uint8_t sv_u8;
typedef uint16_t sv_u16;
typedef uint32_t sv_u32;
typedef uint64_t sv_u64;
#endif

/* A dentry name is at most 255 bytes. */
#define SV_NAME_MAX 255

#define SV_FAMILY_INET 2
#define SV_FAMILY_INET6 10

/* The BPF side sends the fixed part and then only the `name_len` bytes of the
 * name that are used, so a record on the ring is SV_RECORD_HEAD bytes or more. */
struct sv_owner_record {
  sv_u64 cookie;        /* 0 when the kernel had none for the socket */
  sv_u64 when_ns;       /* CLOCK_MONOTONIC */
  sv_u64 task_start_ns; /* start time of the thread group: tells a reused PID apart */
  sv_u32 tgid;
  sv_u16 name_len;
  sv_u16 src_port; /* host order */
  sv_u16 dst_port; /* host order */
  sv_u8 protocol;
  sv_u8 state; /* Linux TCP state numbering; 0 for datagram sockets */
  sv_u8 family;
  sv_u8 pad[3];
  sv_u8 src[16]; /* network order; IPv4 in the first four bytes */
  sv_u8 dst[16];
  char name[SV_NAME_MAX + 1];
};

#define SV_RECORD_HEAD 72

#endif
