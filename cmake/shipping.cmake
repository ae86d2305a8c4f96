# Compiler and linker flags for the builds that ship: hardened as a
# distribution hardens a network program, and free of the paths the build
# ran in, so that two builds of the same source give the same bytes.
# Sanitizer and coverage builds instrument the code their own way and go
# without (QUORVEL_SHIPPING defaults to OFF there).
#
# Everywhere: a strong stack protector, and _FORTIFY_SOURCE where the build
# optimises (glibc and MinGW-w64 take 3 as the highest level they know).
# Linux: PIE (static-pie for the static builds, see linux-gnu.cmake), full
# RELRO and immediate binding; stack-clash protection and, on x86, Intel CET
# (-fcf-protection) where the compiler has them. Windows: ASLR,
# high-entropy ASLR on x86_64 and DEP (binutils' defaults, stated), and no
# link time in the PE header.
include(CheckCXXCompilerFlag)

# Release, RelWithDebInfo and MinSizeRel optimise; Debug does not, and
# fortified headers need an optimiser.
set(quorvel_optimising
    "$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>")

# A compile flag also given at link time, where it must pull in its runtime
# (libssp for MinGW's stack protector).
add_compile_options(-fstack-protector-strong)
add_link_options(-fstack-protector-strong)
add_compile_options("$<${quorvel_optimising}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=3>")

if(NOT WIN32)
  check_cxx_compiler_flag(-fstack-clash-protection quorvel_has_stack_clash)
  if(quorvel_has_stack_clash)
    add_compile_options(-fstack-clash-protection)
  endif()
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i.86)$")
    check_cxx_compiler_flag(-fcf-protection quorvel_has_cf_protection)
    if(quorvel_has_cf_protection)
      add_compile_options(-fcf-protection)
    endif()
  endif()
  # Programs and the static libraries they link are position-independent
  # executables (shared libraries get CMake's -fPIC, and no -pie); a static
  # build links them as static-pie (CMAKE_EXE_LINKER_FLAGS, from the
  # toolchain file), a dynamic one as PIE. Never both: -static-pie followed
  # by -pie makes a dynamic program.
  set(quorvel_type "$<TARGET_PROPERTY:TYPE>")
  set(quorvel_program "$<STREQUAL:${quorvel_type},EXECUTABLE>")
  add_compile_options(
    "$<$<OR:${quorvel_program},$<STREQUAL:${quorvel_type},STATIC_LIBRARY>>:-fPIE>")
  if(NOT quorvel_static)
    add_link_options("$<${quorvel_program}:-pie>")
  endif()
  add_link_options(-Wl,-z,relro -Wl,-z,now)
else()
  add_link_options(-Wl,--dynamicbase -Wl,--nxcompat -Wl,--no-insert-timestamp)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    add_link_options(-Wl,--high-entropy-va)
  endif()
endif()

# The source and build folders' paths, wherever the compiler would write
# them (debug information, __FILE__), become relative in optimised builds;
# Debug builds keep them whole for the debugger.
add_compile_options(
  "$<${quorvel_optimising}:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.;-ffile-prefix-map=${CMAKE_BINARY_DIR}=.>")
