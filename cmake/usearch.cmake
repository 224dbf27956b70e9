# usearch is taken from its source distribution, fetched by pip at configure time and
# pinned here. Only the graph library comparison benchmark uses it. Header-only, built
# without its optional dependencies (no OpenMP, no SIMD kernel library of its own): the
# benchmark gives it the same SimSIMD distance the project uses everywhere else.
set(USEARCH_VERSION "2.26.6")
vendrel_fetch_sdist(usearch ${USEARCH_VERSION} include/usearch/index_dense.hpp USEARCH_ROOT)

add_library(usearch_headers INTERFACE)
target_include_directories(usearch_headers SYSTEM INTERFACE "${USEARCH_ROOT}/include")
target_compile_definitions(usearch_headers INTERFACE USEARCH_USE_OPENMP=0 USEARCH_USE_NUMKONG=0)
