# The program's sources, listed per platform. Sets SOCKVANE_SOURCES for
# SOCKVANE_PLATFORM (linux or windows) and SOCKVANE_WITH_BPF, paths under ROOT.
function(sockvane_sources ROOT SOCKVANE_PLATFORM SOCKVANE_WITH_BPF)
  set(_portable
    src/app/allowlist.cpp
    src/app/command_line.cpp
    src/app/monitor.cpp
    src/app/tuple_filter.cpp
    src/config/lists.cpp
    src/config/options.cpp
    src/filter/filters.cpp
    src/filter/scope.cpp
    src/output/console.cpp
    src/output/render.cpp
    src/output/safe_text.cpp
    src/output/timestamp.cpp
    src/output/user_names.cpp
    src/platform/clock.cpp
    src/platform/std_streams.cpp
    src/source/direction.cpp
    src/source/naming.cpp
    src/source/owner_policy.cpp
    src/source/tracer_record.cpp
    src/source/tuple_filter.cpp
    src/source/unit.cpp
    src/track/address.cpp
    src/track/compare.cpp
    src/track/conn.cpp
    src/track/snapshot.cpp
    src/track/text.cpp)
  set(_linux
    src/platform/clock_linux.cpp
    src/platform/std_streams_linux.cpp
    src/platform/users_linux.cpp
    src/source/dump_filter_linux.cpp
    src/source/netlink_linux.cpp
    src/source/owners_linux.cpp
    src/source/proc_linux.cpp
    src/source/proc_net_linux.cpp
    src/source/short_lived_linux.cpp
    src/source/socket_table_linux.cpp
    src/source/source_linux.cpp
    src/source/walked_owners_linux.cpp)
  set(_windows
    src/platform/clock_windows.cpp
    src/platform/std_streams_windows.cpp
    src/platform/users_windows.cpp
    src/source/socket_table_windows.cpp
    src/source/source_windows.cpp)
  set(_sources ${_portable})
  if(SOCKVANE_PLATFORM STREQUAL "windows")
    list(APPEND _sources ${_windows})
  else()
    list(APPEND _sources ${_linux})
  endif()
  # The owner tracer where it is built; elsewhere one that never loads.
  if(SOCKVANE_WITH_BPF)
    list(APPEND _sources src/source/tracer_bpf_linux.cpp)
  else()
    list(APPEND _sources src/source/tracer_none.cpp)
  endif()
  list(TRANSFORM _sources PREPEND "${ROOT}/")
  set(SOCKVANE_SOURCES ${_sources} PARENT_SCOPE)
endfunction()
