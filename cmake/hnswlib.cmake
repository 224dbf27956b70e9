# hnswlib is taken from its source distribution, fetched by pip at configure time and
# pinned here. It is header-only: nothing is compiled, the headers are put on the
# include path of the graph index. 0.7 is the first release with the filter functor
# that the filtered graph search passes the allowed-id test through.
set(HNSWLIB_VERSION "0.8.0")
vendrel_fetch_sdist(hnswlib ${HNSWLIB_VERSION} hnswlib/hnswalg.h HNSWLIB_ROOT)

add_library(hnswlib_headers INTERFACE)
target_include_directories(hnswlib_headers SYSTEM INTERFACE "${HNSWLIB_ROOT}")
# hnswlib's SSE path prefetches the vector of the next neighbour while it scores the
# current one, which makes graph search and insertion markedly faster on vectors that
# are not in cache. To compute that address it reads the link after the last one of a
# full list, 4 bytes past the end of an upper-layer link allocation: harmless on the
# heap, but AddressSanitizer reports it, so sanitizer builds go without the prefetches.
# (hnswlib's own distance kernels are not used: the graph index gives its own.)
if(VENDREL_SANITIZE OR VENDREL_BUILD_FUZZ)
  target_compile_definitions(hnswlib_headers INTERFACE NO_MANUAL_VECTORIZATION)
endif()
