# Release builds are hardened as Debian hardens its own packages: stack
# canaries, the checked forms of the C library's string and memory calls,
# and, on Linux, a position-independent program whose relocations are
# resolved at start-up and then made read-only; on Windows, the PE flags
# that let the system place the program at a random address (also above
# 4 GiB) and refuse to run its data.
# Debug builds stay unhardened: _FORTIFY_SOURCE needs optimisation.
if(MSVC)
  return()
endif()

set(QUELMAR_HARDEN "$<CONFIG:Release>")
add_compile_options("$<${QUELMAR_HARDEN}:-fstack-protector-strong>")
add_compile_definitions("$<${QUELMAR_HARDEN}:_FORTIFY_SOURCE=2>")

if(WIN32)
  # MinGW-w64 takes the canary and the checked calls from GCC's libssp,
  # which the compiler adds when it links with -fstack-protector-strong. The
  # toolchain file links everything with -static, so the static libssp.a goes
  # into quelmar.exe and no libssp-0.dll has to travel beside it.
  add_link_options("$<${QUELMAR_HARDEN}:-fstack-protector-strong>"
                   "$<${QUELMAR_HARDEN}:LINKER:--dynamicbase,--nxcompat,--high-entropy-va>")
else()
  include(CheckPIESupported)
  check_pie_supported(LANGUAGES CXX OUTPUT_VARIABLE quelmar_pie_output)
  if(NOT CMAKE_CXX_LINK_PIE_SUPPORTED)
    message(WARNING "The linker cannot make position-independent programs:\n${quelmar_pie_output}")
  endif()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  add_link_options("$<${QUELMAR_HARDEN}:LINKER:-z,relro,-z,now>")
endif()
