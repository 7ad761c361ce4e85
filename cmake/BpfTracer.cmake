# The owner tracer's BPF program: vmlinux.h from the kernel's BTF, the object
# compiled by clang's BPF target (CO-RE, so it loads on other kernels too), and
# the skeleton that embeds it in sockvane_core.
set(_bpf_src "${CMAKE_CURRENT_SOURCE_DIR}/src/source/bpf")
set(_bpf_out "${CMAKE_CURRENT_BINARY_DIR}/bpf")
file(MAKE_DIRECTORY "${_bpf_out}")

add_custom_command(OUTPUT "${_bpf_out}/vmlinux.h"
  COMMAND sh -c "\"$1\" btf dump file \"$2\" format c > \"$3.tmp\" && mv \"$3.tmp\" \"$3\""
    sh "${SOCKVANE_BPFTOOL}" "${SOCKVANE_BTF_PATH}" "${_bpf_out}/vmlinux.h"
  COMMENT "Generating vmlinux.h from ${SOCKVANE_BTF_PATH}"
  VERBATIM)

set(_bpf_includes "")
foreach(_dir IN LISTS LIBBPF_INCLUDE_DIRS)
  list(APPEND _bpf_includes "-I${_dir}")
endforeach()
# Debug information only for its BTF: DWARF would carry build paths into the
# binary. Paths left in BTF are made relative to the source and build trees.
# One object per part (the walks; the hooks, with or without those on a
# cgroup; the socket tables), each loaded whole from a light skeleton: the
# kernel resolves the programs' types itself, so loading parses none of its
# type information in user space (about 130 ms of a single scan otherwise).
set(_bpf_skeletons "")
foreach(_part walks_cast:-DSV_WALKS=1+-DSV_CAST=1 walks:-DSV_WALKS=1 state:-DSV_HOOKS=1 hooks:-DSV_HOOKS=2 tables:-DSV_TABLES=1)
  string(REPLACE ":" ";" _pair "${_part}")
  list(GET _pair 0 _name)
  list(GET _pair 1 _define)
  string(REPLACE "+" ";" _define "${_define}")
  add_custom_command(OUTPUT "${_bpf_out}/owners_${_name}.bpf.o"
    COMMAND "${SOCKVANE_BPF_CLANG}" -target bpf -g -O2 -Wall -Werror
      "-D__TARGET_ARCH_${SOCKVANE_BPF_ARCH}" ${_define}
      "-ffile-prefix-map=${CMAKE_CURRENT_BINARY_DIR}=." "-ffile-prefix-map=${CMAKE_CURRENT_SOURCE_DIR}=."
      "-I${_bpf_out}" "-I${_bpf_src}" ${_bpf_includes}
      -c "${_bpf_src}/owners.bpf.c" -o "${_bpf_out}/owners_${_name}.bpf.o"
    COMMAND "${SOCKVANE_BPF_STRIP}" -g "${_bpf_out}/owners_${_name}.bpf.o"
    DEPENDS "${_bpf_src}/owners.bpf.c" "${_bpf_src}/owners_record.h" "${_bpf_out}/vmlinux.h"
    COMMENT "Compiling the BPF owner tracer (${_name})"
    VERBATIM)
  add_custom_command(OUTPUT "${_bpf_out}/owners_${_name}.lskel.h"
    COMMAND sh -c "\"$1\" gen skeleton -L \"$2\" name owners_${_name} > \"$3.tmp\" && mv \"$3.tmp\" \"$3\""
      sh "${SOCKVANE_BPFTOOL}" "${_bpf_out}/owners_${_name}.bpf.o" "${_bpf_out}/owners_${_name}.lskel.h"
    DEPENDS "${_bpf_out}/owners_${_name}.bpf.o"
    COMMENT "Generating the BPF skeleton (${_name})"
    VERBATIM)
  list(APPEND _bpf_skeletons "${_bpf_out}/owners_${_name}.lskel.h")
endforeach()

# The light skeletons are C only.
enable_language(C)
set_source_files_properties("${_bpf_src}/owners_load.c" PROPERTIES OBJECT_DEPENDS "${_bpf_skeletons}")
target_sources(sockvane_core PRIVATE "${_bpf_src}/owners_load.c" ${_bpf_skeletons})
# Generated code: not held to this project's warnings.
target_include_directories(sockvane_core SYSTEM PRIVATE "${_bpf_out}")
target_link_libraries(sockvane_core PUBLIC PkgConfig::LIBBPF)
