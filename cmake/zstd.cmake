# libzstd from Debian's source package, unpacked with Debian's patches by
# scripts/setup. The updater takes only the decoder; zstd_full adds the
# encoder for tests and tools and is never linked into Update.exe.
if(DEFINED ENV{UPDATER_ZSTD_SOURCE})
  set(zstd_source_default "$ENV{UPDATER_ZSTD_SOURCE}")
else()
  set(zstd_source_default /var/cache/updater-deps/zstd-src)
endif()
set(UPDATER_ZSTD_SOURCE "${zstd_source_default}" CACHE PATH
    "Debian's libzstd source tree, unpacked with its patches (scripts/setup makes it)")
set(zstd_lib ${UPDATER_ZSTD_SOURCE}/lib)
if(NOT EXISTS ${zstd_lib}/zstd.h OR NOT EXISTS ${zstd_lib}/decompress/zstd_decompress.c)
  message(FATAL_ERROR "libzstd's source is missing in ${UPDATER_ZSTD_SOURCE}: run scripts/setup, "
                      "or point UPDATER_ZSTD_SOURCE at an unpacked Debian libzstd source package")
endif()

# Plain C on every target: no hand-written assembly (MinGW cannot take the
# ELF one), no legacy frame formats, no tracing hooks.
set(zstd_definitions ZSTD_DISABLE_ASM ZSTD_LEGACY_SUPPORT=0 ZSTD_TRACE=0)

# Third-party code keeps its own warnings to itself; ours stay errors.
function(zstd_library target)
  add_library(${target} STATIC ${ARGN})
  target_compile_definitions(${target} PUBLIC ${zstd_definitions})
  target_compile_options(${target} PRIVATE -w)
  set_target_properties(${target} PROPERTIES COMPILE_WARNING_AS_ERROR OFF)
endfunction()

zstd_library(zstd_decoder
  ${zstd_lib}/common/debug.c
  ${zstd_lib}/common/entropy_common.c
  ${zstd_lib}/common/error_private.c
  ${zstd_lib}/common/fse_decompress.c
  ${zstd_lib}/common/xxhash.c
  ${zstd_lib}/common/zstd_common.c
  ${zstd_lib}/decompress/huf_decompress.c
  ${zstd_lib}/decompress/zstd_ddict.c
  ${zstd_lib}/decompress/zstd_decompress.c
  ${zstd_lib}/decompress/zstd_decompress_block.c)
# Only zstd.h and zstd_errors.h are public; the common folder is internal.
target_include_directories(zstd_decoder SYSTEM PUBLIC ${zstd_lib})
target_include_directories(zstd_decoder PRIVATE ${zstd_lib}/common)

# Without ZSTD_MULTITHREAD the encoder runs on the caller's thread (pool.c and
# threading.c compile to their single-threaded forms), the same with MinGW as
# natively: updpub spreads its files over the cores itself.
file(GLOB zstd_encoder_sources ${zstd_lib}/compress/*.c)
zstd_library(zstd_full ${zstd_encoder_sources} ${zstd_lib}/common/pool.c ${zstd_lib}/common/threading.c)
target_include_directories(zstd_full PRIVATE ${zstd_lib}/common)
target_link_libraries(zstd_full PUBLIC zstd_decoder)
# Built when something links it, not with every `all`.
set_target_properties(zstd_full PROPERTIES EXCLUDE_FROM_ALL ON)
