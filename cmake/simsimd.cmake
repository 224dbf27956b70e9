# SimSIMD is taken from its source distribution, fetched by pip at configure time and
# pinned here. Only its C dispatch library is compiled: every kernel is built for its
# own instruction set and chosen at run time, so the module runs on any x86-64 or Arm CPU.
set(SIMSIMD_VERSION "6.5.16")
set(SIMSIMD_ROOT "${CMAKE_BINARY_DIR}/_deps/simsimd-${SIMSIMD_VERSION}")
set(SIMSIMD_ARCHIVE "${CMAKE_BINARY_DIR}/_deps/simsimd-${SIMSIMD_VERSION}.tar.gz")

if(NOT EXISTS "${SIMSIMD_ROOT}/c/lib.c")
  if(NOT EXISTS "${SIMSIMD_ARCHIVE}")
    message(STATUS "Fetching the SimSIMD ${SIMSIMD_VERSION} source distribution with pip")
    # pip reads the package metadata of a source distribution before saving it; reuse
    # the running environment's setuptools when it has one, else let pip bring its own.
    execute_process(
      COMMAND "${Python_EXECUTABLE}" -m pip download --quiet --no-deps --no-binary :all:
              --no-build-isolation -d "${CMAKE_BINARY_DIR}/_deps" "simsimd==${SIMSIMD_VERSION}"
      RESULT_VARIABLE simsimd_fetch_result OUTPUT_QUIET ERROR_QUIET)
    if(NOT simsimd_fetch_result EQUAL 0)
      execute_process(
        COMMAND "${Python_EXECUTABLE}" -m pip download --quiet --no-deps --no-binary :all:
                -d "${CMAKE_BINARY_DIR}/_deps" "simsimd==${SIMSIMD_VERSION}"
        RESULT_VARIABLE simsimd_fetch_result)
    endif()
    if(NOT simsimd_fetch_result EQUAL 0 OR NOT EXISTS "${SIMSIMD_ARCHIVE}")
      message(FATAL_ERROR "pip could not fetch the simsimd==${SIMSIMD_VERSION} source distribution")
    endif()
  endif()
  file(ARCHIVE_EXTRACT INPUT "${SIMSIMD_ARCHIVE}" DESTINATION "${CMAKE_BINARY_DIR}/_deps")
endif()

add_library(simsimd_dispatch STATIC "${SIMSIMD_ROOT}/c/lib.c")
target_include_directories(simsimd_dispatch SYSTEM PUBLIC "${SIMSIMD_ROOT}/include")
target_compile_definitions(simsimd_dispatch PUBLIC SIMSIMD_DYNAMIC_DISPATCH=1 SIMSIMD_NATIVE_F16=0 SIMSIMD_NATIVE_BF16=0)
target_compile_options(simsimd_dispatch PRIVATE -w)
set_target_properties(simsimd_dispatch PROPERTIES C_STANDARD 11 POSITION_INDEPENDENT_CODE ON)
