# Installation: the two programs, the simulator's preload library, the
# example configuration, the manual pages and the simulator's example files;
# tests of the installed tree; the Debian package (cmake/package.cmake).
include(GNUInstallDirs)

# The preload library is only ever loaded by icd2sim through LD_PRELOAD,
# never linked against, so it lives in a private directory rather than on
# the dynamic linker's search path.
set(TARNWELL_PRELOAD_DIR "${CMAKE_INSTALL_LIBDIR}/tarnwell")

# The installed icd2sim finds its preload library relative to its own
# executable, so an installed tree still works when it is moved as a whole
# (a DESTDIR staging area, a package unpacked with dpkg-deb -x).
if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}" OR IS_ABSOLUTE "${TARNWELL_PRELOAD_DIR}")
  set(ICD2SIM_INSTALLED_PRELOAD "${CMAKE_INSTALL_FULL_LIBDIR}/tarnwell/libicd2sim_preload.so")
else()
  file(RELATIVE_PATH ICD2SIM_INSTALLED_PRELOAD "/${CMAKE_INSTALL_BINDIR}"
       "/${TARNWELL_PRELOAD_DIR}/libicd2sim_preload.so")
endif()
target_compile_definitions(icd2sim PRIVATE
    ICD2SIM_INSTALLED_PRELOAD="${ICD2SIM_INSTALLED_PRELOAD}"
    ICD2SIM_VERSION="${PROJECT_VERSION}")

install(TARGETS tarnwell icd2sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS icd2sim_preload LIBRARY DESTINATION ${TARNWELL_PRELOAD_DIR})
# A stripped install (`cmake --install --strip`, and so the package) also
# drops the compiler's .comment and .note sections, as Debian's dh_strip does.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    set(_root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
        \"\${_root}/${CMAKE_INSTALL_BINDIR}/tarnwell\" \"\${_root}/${CMAKE_INSTALL_BINDIR}/icd2sim\"
        \"\${_root}/${TARNWELL_PRELOAD_DIR}/libicd2sim_preload.so\"
        COMMAND_ERROR_IS_FATAL ANY)
  endif()
")

# Bash completion, where bash-completion looks for it under the prefix.
install(FILES completions/tarnwell completions/icd2sim
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# Where the configuration goes. GNUInstallDirs makes the system configuration
# directory /etc for the prefixes / and /usr and <prefix>/etc otherwise. A
# directory inside the prefix stays relative so that `cmake --install
# --prefix` moves it along with the programs.
string(REGEX REPLACE "/$" "" _tarnwell_prefix "${CMAKE_INSTALL_PREFIX}")
string(FIND "${CMAKE_INSTALL_FULL_SYSCONFDIR}/" "${_tarnwell_prefix}/" _tarnwell_at)
if(_tarnwell_at EQUAL 0 AND NOT IS_ABSOLUTE "${CMAKE_INSTALL_SYSCONFDIR}")
  set(TARNWELL_CONFIG_DIR "${CMAKE_INSTALL_SYSCONFDIR}")
else()
  set(TARNWELL_CONFIG_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}")
endif()

# A program that reads its configuration from one place and an install that
# puts it in another leave the user with "Unable to open config file".
if(NOT "${CMAKE_INSTALL_FULL_SYSCONFDIR}/tarnwell.config" STREQUAL "${TARNWELL_DEFAULT_CONFIG}")
  message(WARNING
      "The configuration is installed as ${CMAKE_INSTALL_FULL_SYSCONFDIR}/tarnwell.config "
      "but tarnwell reads ${TARNWELL_DEFAULT_CONFIG} by default; configure with "
      "-DTARNWELL_DEFAULT_CONFIG=${CMAKE_INSTALL_FULL_SYSCONFDIR}/tarnwell.config "
      "to make them agree.")
endif()

# The configuration is the user's once installed: an existing one is never
# replaced; the new example goes beside it for comparison.
install(CODE "
  set(_dir \"${TARNWELL_CONFIG_DIR}\")
  if(NOT IS_ABSOLUTE \"\${_dir}\")
    set(_dir \"\${CMAKE_INSTALL_PREFIX}/\${_dir}\")
  endif()
  set(_name tarnwell.config)
  if(EXISTS \"\$ENV{DESTDIR}\${_dir}/tarnwell.config\")
    set(_name tarnwell.config.example)
    message(STATUS \"Keeping the existing \$ENV{DESTDIR}\${_dir}/tarnwell.config; \"
                   \"the new example is \$ENV{DESTDIR}\${_dir}/\${_name}\")
  endif()
  file(INSTALL \"${PROJECT_SOURCE_DIR}/examples/tarnwell.config\"
       DESTINATION \"\${_dir}\" RENAME \"\${_name}\"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
")

# The pages name the paths of the default install; the installed copies name
# those of this build. Debian wants manual pages compressed, and man reads
# them either way.
set(_tarnwell_manuals)
foreach(page tarnwell.1 icd2sim.1)
  set(_out "${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz")
  add_custom_command(OUTPUT "${_out}"
      COMMAND ${CMAKE_COMMAND}
          "-DSOURCE=${PROJECT_SOURCE_DIR}/man/${page}"
          "-DOUTPUT=${CMAKE_CURRENT_BINARY_DIR}/man/${page}"
          "-DCONFIG=${TARNWELL_DEFAULT_CONFIG}"
          "-DDOCDIR=${CMAKE_INSTALL_FULL_DOCDIR}"
          -P "${CMAKE_CURRENT_LIST_DIR}/render_manual.cmake"
      COMMAND gzip -9nf "${CMAKE_CURRENT_BINARY_DIR}/man/${page}"
      DEPENDS "${PROJECT_SOURCE_DIR}/man/${page}" "${CMAKE_CURRENT_LIST_DIR}/render_manual.cmake"
      VERBATIM)
  list(APPEND _tarnwell_manuals "${_out}")
endforeach()
add_custom_target(tarnwell_manuals ALL DEPENDS ${_tarnwell_manuals})
install(FILES ${_tarnwell_manuals} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The files the manual pages' examples use, so that an installed copy can be
# tried on the simulator without the source tree.
install(FILES examples/sim-device.conf examples/sim-calibrated.conf examples/example.hex
    examples/tarnwell.config
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

if(TARNWELL_BUILD_TESTS)
  set(_tarnwell_install_env
      "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1:halt_on_error=1"
      "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1")
  add_test(NAME install_manuals_lint
      COMMAND bash ${PROJECT_SOURCE_DIR}/tests/install/lint_manuals.sh ${PROJECT_SOURCE_DIR}/man
          $<TARGET_FILE:tarnwell> $<TARGET_FILE:icd2sim>)
  add_test(NAME install_tree
      COMMAND bash ${PROJECT_SOURCE_DIR}/tests/install/install_tree.sh
          ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${TARNWELL_DEFAULT_CONFIG})
  set_tests_properties(install_manuals_lint install_tree PROPERTIES
      ENVIRONMENT "${_tarnwell_install_env}" TIMEOUT 120)
  # The package is built by its own release build; doing that again for the
  # sanitized build would only double the time.
  if(NOT TARNWELL_SANITIZE)
    add_test(NAME install_debian_package
        COMMAND bash ${PROJECT_SOURCE_DIR}/tests/install/debian_package.sh
            ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}/deb-package)
    # Its last check, lintian's, is skipped (77) where lintian is not installed.
    set_tests_properties(install_debian_package PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
  endif()
endif()

include(${CMAKE_CURRENT_LIST_DIR}/package.cmake)
