# SimSIMD is taken from its source distribution, fetched by pip at configure time and
# pinned here. Only its C dispatch library is compiled: every kernel is built for its
# own instruction set and chosen at run time, so the module runs on any x86-64 or Arm CPU.
set(SIMSIMD_VERSION "6.5.16")
vendrel_fetch_sdist(simsimd ${SIMSIMD_VERSION} c/lib.c SIMSIMD_ROOT)

add_library(simsimd_dispatch STATIC "${SIMSIMD_ROOT}/c/lib.c")
target_include_directories(simsimd_dispatch SYSTEM PUBLIC "${SIMSIMD_ROOT}/include")
target_compile_definitions(simsimd_dispatch PUBLIC SIMSIMD_DYNAMIC_DISPATCH=1 SIMSIMD_NATIVE_F16=0 SIMSIMD_NATIVE_BF16=0)
target_compile_options(simsimd_dispatch PRIVATE -w)
set_target_properties(simsimd_dispatch PROPERTIES C_STANDARD 11 POSITION_INDEPENDENT_CODE ON)
