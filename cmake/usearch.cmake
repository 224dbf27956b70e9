# usearch is taken from its source distribution, fetched by pip at configure time and
# pinned here. Only the graph library comparison benchmark uses it. Header-only, built
# without its optional dependencies (no OpenMP, no SIMD kernel library of its own): the
# benchmark gives it the same SimSIMD distance the project uses everywhere else.
set(USEARCH_VERSION "2.26.6")
set(USEARCH_ROOT "${CMAKE_BINARY_DIR}/_deps/usearch-${USEARCH_VERSION}")
set(USEARCH_ARCHIVE "${CMAKE_BINARY_DIR}/_deps/usearch-${USEARCH_VERSION}.tar.gz")

if(NOT EXISTS "${USEARCH_ROOT}/include/usearch/index_dense.hpp")
  if(NOT EXISTS "${USEARCH_ARCHIVE}")
    message(STATUS "Fetching the usearch ${USEARCH_VERSION} source distribution with pip")
    # As for hnswlib: only usearch itself as source, its build requirements as wheels
    # in pip's isolated environment for the metadata step.
    execute_process(
      COMMAND "${Python_EXECUTABLE}" -m pip download --quiet --no-deps --no-binary usearch
              -d "${CMAKE_BINARY_DIR}/_deps" "usearch==${USEARCH_VERSION}"
      RESULT_VARIABLE usearch_fetch_result)
    if(NOT usearch_fetch_result EQUAL 0 OR NOT EXISTS "${USEARCH_ARCHIVE}")
      message(FATAL_ERROR "pip could not fetch the usearch==${USEARCH_VERSION} source distribution")
    endif()
  endif()
  file(ARCHIVE_EXTRACT INPUT "${USEARCH_ARCHIVE}" DESTINATION "${CMAKE_BINARY_DIR}/_deps")
endif()

add_library(usearch_headers INTERFACE)
target_include_directories(usearch_headers SYSTEM INTERFACE "${USEARCH_ROOT}/include")
target_compile_definitions(usearch_headers INTERFACE USEARCH_USE_OPENMP=0 USEARCH_USE_NUMKONG=0)
