# SPDX-License-Identifier: MIT
# Toolchain for another Debian architecture, DEBIAN_ARCH, with Debian's cross compiler (HACKING.md
# gives the commands). The musl build then finds that architecture's musl-dev:ARCH by itself.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DEBIAN_ARCH)
if(NOT DEBIAN_ARCH)
	message(FATAL_ERROR "set DEBIAN_ARCH to a Debian architecture (arm64, armhf, i386, ppc64el, s390x, ...)")
endif()
foreach(query GNU_TYPE GNU_CPU)
	execute_process(COMMAND dpkg-architecture -a ${DEBIAN_ARCH} -qDEB_HOST_${query}
		OUTPUT_VARIABLE ${query} OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
		RESULT_VARIABLE failed)
	if(failed)
		message(FATAL_ERROR "dpkg-architecture does not know ${DEBIAN_ARCH}")
	endif()
endforeach()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${GNU_CPU})
set(CMAKE_CXX_COMPILER ${GNU_TYPE}-g++)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
