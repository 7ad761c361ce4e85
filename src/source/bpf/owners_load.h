/* The tracer's programs as loaded from one of its light skeletons, in a form
 * C++ can hold: descriptors and the global data, whichever object it was. */
#pragma once

#include <linux/types.h>
#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Which hooks an object holds besides the walks. */
enum sv_hooks { SV_HOOKS_NONE = 0, SV_HOOKS_STATE = 1, SV_HOOKS_ALL = 2 };

/* The programs, indexed by these; a descriptor of -1 when the object has none. */
enum sv_program {
  SV_PROG_HELD,
  SV_PROG_RAN,
  SV_PROG_TCP_STATE,
  SV_PROG_CONNECT4,
  SV_PROG_CONNECT6,
  SV_PROG_RELEASE,
  SV_PROG_COUNT
};

struct sv_consts {
  __u64* netns_cookie;
  __u32* pidns_inum;
  bool* connect_by_state;
};

struct sv_globals {
  __u32* named_tgid;
  __u64* walk_task;
  __u32* walk_tgid;
};

struct sv_object {
  void* skeleton;
  enum sv_hooks hooks;
  int programs[SV_PROG_COUNT];
  int records_map; /* -1 without hooks */
  int lost_map;
  struct sv_consts consts;   /* writable until loaded */
  struct sv_globals globals; /* once loaded: the kernel's copy */
};

/* Zero, or a negative error number. The verifier's log goes to `log`. */
int sv_object_open(struct sv_object* object, enum sv_hooks hooks);
int sv_object_load(struct sv_object* object, char* log, size_t log_size);
/* Closes every descriptor of the object (links are the caller's). */
void sv_object_destroy(struct sv_object* object);

#ifdef __cplusplus
}
#endif
