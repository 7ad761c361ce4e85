/* What the owner tracer's BPF programs hand to user space: hook records
 * through the ring buffer, and the descriptor walk's output through the
 * iterator's seq file. Shared by both sides: C for the BPF compiler, C++ for
 * the reader; plain fixed-width fields, no implicit padding. */
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

/* What a hook record tells. */
#define SV_KIND_CONNECT 1 /* the process began a connect: TCP or UDP */
#define SV_KIND_STATE 2   /* a TCP state change; tgid 0 unless the owner made it */
#define SV_KIND_RELEASE 3 /* the process let go of its last descriptor of the socket */

/* The BPF side sends the fixed part and then only the `name_len` bytes of the
 * name that are used, so a record on the ring is SV_RECORD_HEAD bytes or more.
 * Addresses and ports are those the socket had at the moment: a connect record
 * has no source yet, a release record none at all. */
struct sv_owner_record {
  sv_u64 cookie;        /* never 0: the kernel assigns one when asked */
  sv_u64 when_ns;       /* CLOCK_MONOTONIC */
  sv_u64 task_start_ns; /* start time of the thread group: tells a reused PID apart */
  sv_u32 tgid;          /* in the PID namespace of the /proc read; 0 for none */
  sv_u16 name_len;
  sv_u16 src_port; /* host order */
  sv_u16 dst_port; /* host order */
  sv_u8 protocol;
  sv_u8 state; /* Linux TCP state numbering; 0 for datagram sockets */
  sv_u8 family;
  sv_u8 kind;
  sv_u8 old_state; /* the state a SV_KIND_STATE record leaves */
  sv_u8 pad;
  sv_u8 src[16]; /* network order; IPv4 in the first four bytes */
  sv_u8 dst[16];
  char name[SV_NAME_MAX + 1];
};

#define SV_RECORD_HEAD 72

/* One socket descriptor found by the walk over every process's descriptors.
 * The first one of a process comes after a name entry: `inode` 0, `fd` the
 * length of the name, whose bytes follow, padded with NULs to a multiple of 8. */
struct sv_held_socket {
  sv_u64 inode;
  sv_u32 tgid; /* in the PID namespace of the /proc read */
  sv_u32 fd;
};

/* After the descriptors of each table the walk visits (also a table without
 * sockets): the table's fingerprint, as the pass takes it. */
#define SV_TABLE_ENTRY 0xffffffffu
struct sv_walked_table {
  sv_u64 zero; /* 0, as in a name entry */
  sv_u32 tgid;
  sv_u32 mark; /* SV_TABLE_ENTRY */
  sv_u64 print;
};

/* How the pass took a thread's descriptor table. */
#define SV_TABLE_SHARED 0  /* its process's main thread's: counted there */
#define SV_TABLE_PRINTED 1 /* `print` is its fingerprint */
#define SV_TABLE_UNKNOWN 2 /* too large to take, or unreadable */

/* One thread, from the pass over every task: how long it has run and which
 * descriptor table it uses (its address: an identity, nothing more). */
struct sv_task_run {
  sv_u64 run_ns;
  sv_u64 files;
  sv_u32 tgid;  /* in the PID namespace of the /proc read */
  sv_u32 tid;   /* the kernel's own number: an identity within the pass */
  sv_u64 print; /* the fingerprint of its table: see SV_TABLE_* */
  sv_u32 table;
  sv_u32 pad;
};

/* One socket of the TCP or UDP table of the network namespace watched, as a
 * socket dump reports it: a time-wait socket with the state it waits in, a
 * request socket as SYN_RECV, both without inode and user; an orphan without
 * inode. */
struct sv_table_socket {
  sv_u64 cookie;
  sv_u64 inode;
  sv_u32 uid;
  sv_u16 src_port; /* host order */
  sv_u16 dst_port; /* host order */
  sv_u8 family;
  sv_u8 protocol;
  sv_u8 state; /* Linux TCP state numbering; UDP: 1 connected, 7 not */
  sv_u8 pad[5];
  sv_u8 src[16]; /* network order; IPv4 in the first four bytes */
  sv_u8 dst[16];
};

#define SV_TABLE_PREFIXES 16
#define SV_TABLE_RANGES 16

/* A destination prefix over the address as rows hold it (IPv4 v4-mapped),
 * read as two 64-bit words in the host's byte order; `address` is masked. */
struct sv_table_prefix {
  sv_u64 address[2];
  sv_u64 mask[2];
  sv_u32 ipv4; /* 1: matches v4-mapped destinations only; 0: only the others */
  sv_u32 pad;
};

struct sv_port_range {
  sv_u16 first;
  sv_u16 last;
};

/* What the table iterators leave out, set by user space before a read. Each
 * part keeps at least what the filters keep (a list too long to hold is left
 * out whole, or cut where cutting only keeps more), so user space filters the
 * records again. With `filtered` 0 every socket is written, listeners too. */
struct sv_table_filter {
  sv_u32 filtered;         /* destination port 0 (listeners, unconnected) goes */
  sv_u32 port_count;       /* not 0: only destination ports in `ports` */
  sv_u32 dropped_port_count;
  sv_u32 dropped_count;    /* destinations in `dropped` go */
  struct sv_port_range ports[SV_TABLE_RANGES];
  struct sv_port_range dropped_ports[SV_TABLE_RANGES];
  struct sv_table_prefix dropped[SV_TABLE_PREFIXES];
};

#endif
