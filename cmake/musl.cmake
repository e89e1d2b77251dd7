# SPDX-License-Identifier: MIT
# Links the shipped programs statically against musl, as static-pie, with
# whichever compiler the build uses.
#
# musl's headers and libraries are looked for, in this order:
#  - in MUSL_ROOT/include and MUSL_ROOT/lib, when MUSL_ROOT is set (a
#    distribution that keeps musl in a folder of its own);
#  - in Debian's multiarch folders /usr/include/<triplet> and
#    /usr/lib/<triplet>, where the triplet is the compiler's own multiarch name
#    with its C library's part swapped for musl's (see musl_triplet below), so
#    that a cross compiler finds its architecture's musl-dev.
#
# Defines the interface library musl_static for the programs to link with.

set(MUSL_ROOT "" CACHE PATH "Folder holding musl's include/ and lib/ (default: Debian's multiarch folders)")

if(MUSL_ROOT)
	set(musl_include ${MUSL_ROOT}/include)
	set(musl_lib ${MUSL_ROOT}/lib)
	set(musl_where "MUSL_ROOT=${MUSL_ROOT}")
else()
	execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-multiarch
		OUTPUT_VARIABLE multiarch OUTPUT_STRIP_TRAILING_WHITESPACE)
	# Debian names musl's folders after glibc's triplet with "gnu" swapped
	# for "musl", except that the ABI suffix stays only where it tells the
	# float ABI: arm-linux-gnueabi(hf) -> arm-linux-musleabi(hf), but
	# mips64el-linux-gnuabi64 -> mips64el-linux-musl.
	string(REGEX REPLACE "-gnuabi64$" "-gnu" musl_triplet "${multiarch}")
	string(REGEX REPLACE "-gnu" "-musl" musl_triplet "${musl_triplet}")
	set(musl_include /usr/include/${musl_triplet})
	set(musl_lib /usr/lib/${musl_triplet})
	set(musl_where "${musl_lib} (for the compiler's ${multiarch})")
endif()
if(NOT EXISTS ${musl_lib}/rcrt1.o OR NOT EXISTS ${musl_include}/stdio.h)
	if(MUSL_ROOT)
		set(musl_remedy "MUSL_ROOT must name a folder with musl's include/stdio.h and lib/rcrt1.o")
	else()
		set(musl_remedy "install musl-dev for this architecture (musl-dev:ARCH on Debian), or "
			"set MUSL_ROOT to a folder holding musl's include/ and lib/")
	endif()
	message(FATAL_ERROR "musl not found in ${musl_where}: ${musl_remedy}; or configure "
		"with -DMUSL=OFF to build against the compiler's own C library")
endif()
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
	OUTPUT_VARIABLE compiler_include OUTPUT_STRIP_TRAILING_WHITESPACE)

# GCC's own link rule knows static-pie; these driver rules (a file that GCC's
# driver reads before its own) only swap in musl's start files and put
# musl's libraries first. The extra link flags make armhf's GCC, whose rule forgets them, give
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
