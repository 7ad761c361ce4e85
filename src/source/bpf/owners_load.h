/* The tracer's programs as loaded from its light skeletons, in a form C++ can
 * hold: descriptors and the global data, whichever parts were loaded. */
#pragma once

#include <linux/types.h>
#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The parts, each one object loaded whole: the walks (whose task pass reads
 * files through their addresses, 6.2 on, or through a helper); the TCP state
 * hook; or that hook with the cgroup hooks; the socket tables. */
enum sv_part {
  SV_PART_WALKS_CAST,
  SV_PART_WALKS,
  SV_PART_STATE,
  SV_PART_HOOKS,
  SV_PART_TABLES,
  SV_PART_COUNT
};

/* The programs, indexed by these; a descriptor of -1 when no loaded part has it. */
enum sv_program {
  SV_PROG_HELD,
  SV_PROG_RAN,
  SV_PROG_TCP_STATE,
  SV_PROG_CONNECT4,
  SV_PROG_CONNECT6,
  SV_PROG_RELEASE,
  SV_PROG_TCP_TABLE,
  SV_PROG_UDP_TABLE,
  SV_PROG_COUNT
};

/* What every part is told before it loads. */
struct sv_consts {
  __u64 netns_cookie;
  __u32 pidns_inum;
  bool connect_by_state;
};

struct sv_table_filter;

/* The walks' and the tables' globals, in the kernel's copy. */
struct sv_globals {
  __u32* named_tgid;
  __u64* walk_task;
  __u32* walk_tgid;
  struct sv_table_filter* table_filter;
};

struct sv_object {
  void* parts[SV_PART_COUNT];
  int programs[SV_PROG_COUNT];
  int records_map; /* -1 without the hooks */
  int lost_map;
  struct sv_globals globals;
};

void sv_object_init(struct sv_object* object);
/* Zero, or a negative error number (nothing of the part is left then). The
 * verifier's log goes to `log` when it is not null. */
int sv_object_load(struct sv_object* object, enum sv_part part, const struct sv_consts* consts, char* log,
                   size_t log_size);
/* Closes every descriptor of every part (links are the caller's). */
void sv_object_destroy(struct sv_object* object);

#ifdef __cplusplus
}
#endif
