/* The light skeletons of the tracer's parts behind one shape. They are C
 * only, hence this file. */
#include "owners_load.h"

#include <bpf/bpf.h>
#include <errno.h>

// clang-format off: the skeletons use the record types without including them.
#include "owners_record.h"
// clang-format on
#include "owners_hooks.lskel.h"
#include "owners_state.lskel.h"
#include "owners_tables.lskel.h"
#include "owners_walks.lskel.h"
#include "owners_walks_cast.lskel.h"

/* The two builds of the walks differ in their task pass only. */
#define SV_TAKE_WALKS(object, skel)                                   \
  do {                                                                \
    (object)->programs[SV_PROG_HELD] = (skel)->progs.sv_held.prog_fd; \
    (object)->programs[SV_PROG_RAN] = (skel)->progs.sv_ran.prog_fd;   \
    (object)->globals.named_tgid = &(skel)->bss->sv_named_tgid;       \
    (object)->globals.walk_task = &(skel)->bss->sv_walk_task;         \
    (object)->globals.walk_tgid = &(skel)->bss->sv_walk_tgid;         \
  } while (0)

static void take_walks(struct sv_object* object, struct owners_walks* skel) {
  SV_TAKE_WALKS(object, skel);
}

static void take_walks_cast(struct sv_object* object, struct owners_walks_cast* skel) {
  SV_TAKE_WALKS(object, skel);
}

static void take_state(struct sv_object* object, struct owners_state* skel) {
  object->programs[SV_PROG_TCP_STATE] = skel->progs.sv_tcp_state.prog_fd;
  object->records_map = skel->maps.records.map_fd;
  object->lost_map = skel->maps.lost.map_fd;
}

static void take_hooks(struct sv_object* object, struct owners_hooks* skel) {
  object->programs[SV_PROG_TCP_STATE] = skel->progs.sv_tcp_state.prog_fd;
  object->programs[SV_PROG_CONNECT4] = skel->progs.sv_connect4.prog_fd;
  object->programs[SV_PROG_CONNECT6] = skel->progs.sv_connect6.prog_fd;
  object->programs[SV_PROG_RELEASE] = skel->progs.sv_release.prog_fd;
  object->records_map = skel->maps.records.map_fd;
  object->lost_map = skel->maps.lost.map_fd;
}

static void take_tables(struct sv_object* object, struct owners_tables* skel) {
  object->programs[SV_PROG_TCP_TABLE] = skel->progs.sv_tcp_table.prog_fd;
  object->programs[SV_PROG_UDP_TABLE] = skel->progs.sv_udp_table.prog_fd;
  object->globals.table_filter = &skel->bss->sv_table;
}

void sv_object_init(struct sv_object* object) {
  for (int i = 0; i < SV_PART_COUNT; ++i) object->parts[i] = NULL;
  for (int i = 0; i < SV_PROG_COUNT; ++i) object->programs[i] = -1;
  object->records_map = -1;
  object->lost_map = -1;
  object->globals.named_tgid = NULL;
  object->globals.walk_task = NULL;
  object->globals.walk_tgid = NULL;
  object->globals.table_filter = NULL;
}

/* The skeletons' load returns -1 or a negative error number. */
static int failed(int err) {
  if (err >= 0) return 0;
  return err == -1 && errno > 0 ? -errno : err;
}

/* Opens, tells and loads the skeleton owners_NAME; destroys it on failure. */
#define SV_LOAD(NAME, object, consts, log, log_size)                \
  do {                                                              \
    struct owners_##NAME* skel = owners_##NAME##__open();           \
    if (!skel) return -ENOMEM;                                      \
    skel->rodata->sv_netns_cookie = (consts)->netns_cookie;         \
    skel->rodata->sv_pidns_inum = (consts)->pidns_inum;             \
    skel->rodata->sv_connect_by_state = (consts)->connect_by_state; \
    if (log && log_size) {                                          \
      skel->ctx.log_level = 1;                                      \
      skel->ctx.log_size = (__u32)(log_size);                       \
      skel->ctx.log_buf = (__u64)(unsigned long)(log);              \
    }                                                               \
    const int err = failed(owners_##NAME##__load(skel));            \
    if (err) {                                                      \
      owners_##NAME##__destroy(skel);                               \
      return err;                                                   \
    }                                                               \
    (object)->parts[SV_PART_##NAME] = skel;                         \
    take_##NAME(object, skel);                                      \
  } while (0)

#define SV_PART_walks SV_PART_WALKS
#define SV_PART_walks_cast SV_PART_WALKS_CAST
#define SV_PART_state SV_PART_STATE
#define SV_PART_hooks SV_PART_HOOKS
#define SV_PART_tables SV_PART_TABLES

int sv_object_load(struct sv_object* object, enum sv_part part, const struct sv_consts* consts, char* log,
                   size_t log_size) {
  if (object->parts[part]) return -EEXIST;
  switch (part) {
    case SV_PART_WALKS_CAST:
      SV_LOAD(walks_cast, object, consts, log, log_size);
      return 0;
    case SV_PART_WALKS:
      SV_LOAD(walks, object, consts, log, log_size);
      return 0;
    case SV_PART_STATE:
      SV_LOAD(state, object, consts, log, log_size);
      return 0;
    case SV_PART_HOOKS:
      SV_LOAD(hooks, object, consts, log, log_size);
      return 0;
    case SV_PART_TABLES:
      SV_LOAD(tables, object, consts, log, log_size);
      return 0;
    case SV_PART_COUNT:
      break;
  }
  return -EINVAL;
}

void sv_object_destroy(struct sv_object* object) {
  owners_walks_cast__destroy(object->parts[SV_PART_WALKS_CAST]);
  owners_walks__destroy(object->parts[SV_PART_WALKS]);
  owners_state__destroy(object->parts[SV_PART_STATE]);
  owners_hooks__destroy(object->parts[SV_PART_HOOKS]);
  owners_tables__destroy(object->parts[SV_PART_TABLES]);
  sv_object_init(object);
}
