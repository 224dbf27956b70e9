# hnswlib is taken from its source distribution, fetched by pip at configure time and
# pinned here. It is header-only: nothing is compiled, the headers are put on the
# include path of the graph index. 0.7 is the first release with the filter functor
# that the filtered graph search passes the allowed-id test through.
set(HNSWLIB_VERSION "0.8.0")
set(HNSWLIB_ROOT "${CMAKE_BINARY_DIR}/_deps/hnswlib-${HNSWLIB_VERSION}")
set(HNSWLIB_ARCHIVE "${CMAKE_BINARY_DIR}/_deps/hnswlib-${HNSWLIB_VERSION}.tar.gz")

if(NOT EXISTS "${HNSWLIB_ROOT}/hnswlib/hnswalg.h")
  if(NOT EXISTS "${HNSWLIB_ARCHIVE}")
    message(STATUS "Fetching the hnswlib ${HNSWLIB_VERSION} source distribution with pip")
    # pip reads the package metadata before saving a source distribution, which needs
    # the package's build requirements (numpy, pybind11). Only hnswlib itself is taken
    # as source: its build requirements come as wheels into pip's own isolated
    # environment, so nothing is compiled and the running environment is not touched.
    execute_process(
      COMMAND "${Python_EXECUTABLE}" -m pip download --quiet --no-deps --no-binary hnswlib
              -d "${CMAKE_BINARY_DIR}/_deps" "hnswlib==${HNSWLIB_VERSION}"
      RESULT_VARIABLE hnswlib_fetch_result)
    if(NOT hnswlib_fetch_result EQUAL 0 OR NOT EXISTS "${HNSWLIB_ARCHIVE}")
      message(FATAL_ERROR "pip could not fetch the hnswlib==${HNSWLIB_VERSION} source distribution")
    endif()
  endif()
  file(ARCHIVE_EXTRACT INPUT "${HNSWLIB_ARCHIVE}" DESTINATION "${CMAKE_BINARY_DIR}/_deps")
endif()

add_library(hnswlib_headers INTERFACE)
target_include_directories(hnswlib_headers SYSTEM INTERFACE "${HNSWLIB_ROOT}")
# hnswlib's SSE path prefetches the vector of the next neighbour while it scores the
# current one, which makes graph search and insertion markedly faster on vectors that
# are not in cache. To compute that address it reads the link after the last one of a
# full list, 4 bytes past the end of an upper-layer link allocation: harmless on the
# heap, but AddressSanitizer reports it, so sanitizer builds go without the prefetches.
# (hnswlib's own distance kernels are not used: the graph index gives its own.)
if(VENDREL_SANITIZE)
  target_compile_definitions(hnswlib_headers INTERFACE NO_MANUAL_VECTORIZATION)
endif()
