# The hardening a Debian release build gets from dpkg-buildflags: stack
# protector, stack clash protection, control-flow protection (on x86),
# checked buffer functions, position-independent executables and a
# read-only relocation table bound at start-up. Sanitized and fuzzing
# builds bring their own instrumentation and go without. _FORTIFY_SOURCE
# only works with optimisation, so debug builds go without it too.
if(NOT TARNWELL_SANITIZE AND NOT TARNWELL_FUZZ)
  add_compile_options(-fstack-protector-strong
      "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  # Both flags are known to g++ and clang++; -fcf-protection exists only for
  # x86 targets, so a compiler that refuses either goes without it.
  include(CheckCXXCompilerFlag)
  foreach(flag -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "TARNWELL_HAS${flag}" has_flag)
    check_cxx_compiler_flag(${flag} ${has_flag})
    if(${has_flag})
      add_compile_options(${flag})
    endif()
  endforeach()
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  add_link_options(LINKER:-z,relro,-z,now)
endif()
