# SPDX-License-Identifier: MIT
# Links the shipped programs statically against musl, as static-pie, with
# whichever compiler the build uses: the compiler's own multiarch name leads
# to musl's folders (/usr/include/<triplet>, /usr/lib/<triplet>, with "musl"
# in place of "gnu"), so a cross compiler finds its architecture's musl-dev.
#
# Defines the interface library musl_static for the programs to link with.

execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-multiarch
	OUTPUT_VARIABLE multiarch OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REPLACE "gnu" "musl" musl_triplet "${multiarch}")
set(musl_include /usr/include/${musl_triplet})
set(musl_lib /usr/lib/${musl_triplet})
if(NOT multiarch OR NOT EXISTS ${musl_lib}/rcrt1.o OR NOT EXISTS ${musl_include}/stdio.h)
	message(FATAL_ERROR "musl for ${multiarch} not found in ${musl_lib}: install musl-dev "
		"for this architecture (musl-dev:ARCH), or configure with -DMUSL=OFF for a glibc build")
endif()
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
	OUTPUT_VARIABLE compiler_include OUTPUT_STRIP_TRAILING_WHITESPACE)

# GCC's own link rule knows static-pie; these driver rules (given to GCC's
# -specs= option) only swap in musl's start files and put musl's libraries
# first. The extra link flags make armhf's GCC, whose rule forgets them, give
# a static-pie rather than a dynamic PIE.
set(musl_rules ${CMAKE_CURRENT_BINARY_DIR}/musl-driver.rules)
file(WRITE ${musl_rules} "%rename link old_link
%rename link_libgcc old_link_libgcc

*startfile:
%{shared:;static-pie:${musl_lib}/rcrt1.o;static:${musl_lib}/crt1.o;:${musl_lib}/Scrt1.o} \
${musl_lib}/crti.o %{static-pie|shared|pie:crtbeginS.o%s;static:crtbeginT.o%s;:crtbegin.o%s}

*endfile:
%{static-pie|shared|pie:crtendS.o%s;:crtend.o%s} ${musl_lib}/crtn.o

*link_libgcc:
-L${musl_lib} %(old_link_libgcc)

*link:
%(old_link) %{static-pie:-Bstatic --no-dynamic-linker -z text}
")

add_library(musl_static INTERFACE)
# Only the C library's headers: libstdc++'s are configured for glibc. musl
# 1.2.4 and later declare statfs64 only for _LARGEFILE64_SOURCE.
target_compile_options(musl_static INTERFACE
	-nostdinc "SHELL:-isystem ${musl_include}" "SHELL:-isystem ${compiler_include}")
target_compile_definitions(musl_static INTERFACE _LARGEFILE64_SOURCE)
# g++ would add libstdc++ and glibc's libm; the programs need neither, so the
# default libraries are named here: libgcc for 64-bit division on 32-bit
# machines, musl's libc.
target_link_options(musl_static INTERFACE -specs=${musl_rules} -static-pie -nodefaultlibs)
target_link_libraries(musl_static INTERFACE -Wl,--start-group gcc gcc_eh c -Wl,--end-group)
