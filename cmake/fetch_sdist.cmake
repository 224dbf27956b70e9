# Fetches the pinned source distribution `name`==`version` by name with pip at configure
# time and unpacks it under _deps, unless `marker` (a file inside the unpacked tree) is
# there already; sets `root_var` to the unpacked tree. No third-party source is kept in
# the repository.
#
# pip reads a source distribution's metadata before saving it, which needs the
# package's build requirements. The first attempt reuses the running environment's
# (setuptools is a build requirement of ours); when they are missing there, pip brings
# them as wheels into an isolated environment of its own. Only the named package is
# taken as source, so nothing is compiled and the running environment is not touched.
function(vendrel_fetch_sdist name version marker root_var)
  set(deps "${CMAKE_BINARY_DIR}/_deps")
  set(root "${deps}/${name}-${version}")
  set(archive "${deps}/${name}-${version}.tar.gz")
  if(NOT EXISTS "${root}/${marker}")
    if(NOT EXISTS "${archive}")
      message(STATUS "Fetching the ${name} ${version} source distribution with pip")
      set(download "${Python_EXECUTABLE}" -m pip download --quiet --no-deps --no-binary ${name} -d "${deps}"
                   "${name}==${version}")
      execute_process(COMMAND ${download} --no-build-isolation RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
      if(NOT result EQUAL 0)
        execute_process(COMMAND ${download} RESULT_VARIABLE result)
      endif()
      if(NOT result EQUAL 0 OR NOT EXISTS "${archive}")
        message(FATAL_ERROR "pip could not fetch the ${name}==${version} source distribution")
      endif()
    endif()
    file(ARCHIVE_EXTRACT INPUT "${archive}" DESTINATION "${deps}")
  endif()
  set(${root_var} "${root}" PARENT_SCOPE)
endfunction()
