/* The light skeletons of the tracer's three objects behind one shape. They are
 * C only, hence this file. */
#include "owners_load.h"

#include <bpf/bpf.h>
#include <errno.h>

#include "owners_full.lskel.h"
#include "owners_state.lskel.h"
#include "owners_walks.lskel.h"

#define SV_TAKE_WALKS(object, skel)                                   \
  do {                                                                \
    (object)->programs[SV_PROG_HELD] = (skel)->progs.sv_held.prog_fd; \
    (object)->programs[SV_PROG_RAN] = (skel)->progs.sv_ran.prog_fd;   \
    (object)->globals.named_tgid = &(skel)->bss->sv_named_tgid;       \
    (object)->globals.walk_task = &(skel)->bss->sv_walk_task;         \
    (object)->globals.walk_tgid = &(skel)->bss->sv_walk_tgid;         \
  } while (0)

#define SV_TAKE_STATE(object, skel)                                             \
  do {                                                                          \
    (object)->programs[SV_PROG_TCP_STATE] = (skel)->progs.sv_tcp_state.prog_fd; \
    (object)->records_map = (skel)->maps.records.map_fd;                        \
    (object)->lost_map = (skel)->maps.lost.map_fd;                              \
  } while (0)

#define SV_TAKE_CGROUP(object, skel)                                          \
  do {                                                                        \
    (object)->programs[SV_PROG_CONNECT4] = (skel)->progs.sv_connect4.prog_fd; \
    (object)->programs[SV_PROG_CONNECT6] = (skel)->progs.sv_connect6.prog_fd; \
    (object)->programs[SV_PROG_RELEASE] = (skel)->progs.sv_release.prog_fd;   \
  } while (0)

#define SV_TAKE_CONSTS(object, skel)                                                 \
  do {                                                                               \
    (object)->consts.netns_cookie = (__u64*)&(skel)->rodata->sv_netns_cookie;        \
    (object)->consts.pidns_inum = (__u32*)&(skel)->rodata->sv_pidns_inum;            \
    (object)->consts.connect_by_state = (bool*)&(skel)->rodata->sv_connect_by_state; \
  } while (0)

static void clear(struct sv_object* object, enum sv_hooks hooks) {
  object->skeleton = NULL;
  object->hooks = hooks;
  for (int i = 0; i < SV_PROG_COUNT; ++i) object->programs[i] = -1;
  object->records_map = -1;
  object->lost_map = -1;
}

static void set_log(struct bpf_loader_ctx* ctx, char* log, size_t log_size) {
  if (!log || log_size == 0) return;
  ctx->log_level = 1;
  ctx->log_size = (__u32)log_size;
  ctx->log_buf = (__u64)(unsigned long)log;
}

/* The skeletons' load returns -1 or a negative error number. */
static int failed(int err) {
  if (err >= 0) return 0;
  return err == -1 && errno > 0 ? -errno : err;
}

#define SV_TAKE_walks(object, skel) SV_TAKE_WALKS(object, skel)
#define SV_TAKE_state(object, skel) \
  SV_TAKE_WALKS(object, skel);      \
  SV_TAKE_STATE(object, skel)
#define SV_TAKE_full(object, skel) \
  SV_TAKE_state(object, skel);     \
  SV_TAKE_CGROUP(object, skel)

/* Open, load and destroy for the skeleton owners_NAME. */
#define SV_VARIANT(NAME)                                                         \
  static int open_##NAME(struct sv_object* object) {                             \
    struct owners_##NAME* skel = owners_##NAME##__open();                        \
    if (!skel) return -ENOMEM;                                                   \
    object->skeleton = skel;                                                     \
    SV_TAKE_CONSTS(object, skel);                                                \
    return 0;                                                                    \
  }                                                                              \
  static int load_##NAME(struct sv_object* object, char* log, size_t log_size) { \
    struct owners_##NAME* skel = object->skeleton;                               \
    set_log(&skel->ctx, log, log_size);                                          \
    const int err = failed(owners_##NAME##__load(skel));                         \
    if (err) return err;                                                         \
    SV_TAKE_##NAME(object, skel);                                                \
    return 0;                                                                    \
  }                                                                              \
  static void destroy_##NAME(struct sv_object* object) {                         \
    owners_##NAME##__destroy(object->skeleton);                                  \
  }

SV_VARIANT(walks)
SV_VARIANT(state)
SV_VARIANT(full)

int sv_object_open(struct sv_object* object, enum sv_hooks hooks) {
  clear(object, hooks);
  switch (hooks) {
    case SV_HOOKS_NONE:
      return open_walks(object);
    case SV_HOOKS_STATE:
      return open_state(object);
    case SV_HOOKS_ALL:
      return open_full(object);
  }
  return -EINVAL;
}

int sv_object_load(struct sv_object* object, char* log, size_t log_size) {
  switch (object->hooks) {
    case SV_HOOKS_NONE:
      return load_walks(object, log, log_size);
    case SV_HOOKS_STATE:
      return load_state(object, log, log_size);
    case SV_HOOKS_ALL:
      return load_full(object, log, log_size);
  }
  return -EINVAL;
}

void sv_object_destroy(struct sv_object* object) {
  if (!object->skeleton) return;
  switch (object->hooks) {
    case SV_HOOKS_NONE:
      destroy_walks(object);
      break;
    case SV_HOOKS_STATE:
      destroy_state(object);
      break;
    case SV_HOOKS_ALL:
      destroy_full(object);
      break;
  }
  clear(object, object->hooks);
}
