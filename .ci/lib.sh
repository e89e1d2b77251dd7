# SPDX-License-Identifier: MIT
# Shared by CI's checks (.ci/checks/*), which source it first: strict mode,
# the top of the tree as the working folder, and the helpers below.
# shellcheck shell=bash
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
export DEBIAN_FRONTEND=noninteractive
native=$(dpkg --print-architecture)
release=$(tools/arch release)
export native release
# fail MESSAGE...: says why on standard error and ends the check.
fail() {
	echo "$*" >&2
	exit 1
}

# lacks PATTERN COMMAND...: fails, saying so, where COMMAND's output has a
# line that matches. (A pipeline negated with ! never ends a check under set
# -e, and grep -q may close the pipe while COMMAND still writes, which
# pipefail counts as COMMAND failing: neither says that a line is absent.)
lacks() {
	local pattern=$1 out
	shift
	out=$("$@")
	if grep -E "$pattern" <<<"$out"; then
		fail "$*: has a line with $pattern"
	fi
}

# hardened PROGRAM...: what the linker gave each program: position-
# independent (so ASLR places it), a RELRO segment with BIND_NOW, a stack
# that cannot be executed, and no program interpreter. Whether the RELRO
# region is made read-only at run time is the C library's start-up's affair,
# which musl's static-pie start-up does not do: that is not checked here.
hardened() {
	local prog headers status=0
	# shows PATTERN WHY: the headers have a line that matches, or WHY is said
	shows() {
		grep -qE "$1" <<<"$headers" || {
			echo "$prog: $2" >&2
			status=1
		}
	}
	for prog in "$@"; do
		headers=$(readelf -hldW "$prog")
		shows 'Type: *DYN' "not position-independent"
		shows 'GNU_RELRO' "no RELRO segment"
		shows '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' "no BIND_NOW"
		shows 'GNU_STACK.* RW  ' "executable or missing stack segment"
		if grep -q 'INTERP' <<<"$headers"; then
			echo "$prog: has a program interpreter: not static" >&2
			status=1
		fi
	done
	return $status
}

# elf_is ARCH PROGRAM...: each program is a hardened static-pie binary of
# ARCH: its machine, class and byte order, and its float ABI where an
# architecture has two (armel passes floats in integer registers, armhf in
# VFP registers).
elf_is() {
	local arch=$1 machine class order headers abi vfp prog
	shift
	machine=$(tools/arch "$arch" elf)
	class=$(tools/arch "$arch" class)
	order=$(tools/arch "$arch" order)
	hardened "$@"
	for prog in "$@"; do
		headers=$(readelf -hlW "$prog")
		grep -qx " *Machine: *$machine" <<<"$headers" &&
			grep -qx " *Class: *$class" <<<"$headers" &&
			grep -qx " *Data: .*, $order endian" <<<"$headers" || fail "$prog: not $machine $class $order endian"
		abi=
		vfp=no
		grep -q 'Tag_ABI_VFP_args: VFP registers' <<<"$(readelf -A "$prog")" && vfp=yes
		case $arch:$vfp in
		armhf:yes) abi=", floats in VFP registers" ;;
		armel:no) abi=", floats in integer registers" ;;
		armhf:* | armel:*)
			echo "$prog: not the float ABI of $arch" >&2
			return 1
			;;
		esac
		echo "$prog: $machine, $class, $order endian$abi, PIE, RELRO and BIND_NOW, non-executable stack, static"
	done
}

# build_package FOLDER [dpkg-buildpackage option...]: the Debian package
# built from a fresh copy of the committed tree in FOLDER/src; the log is
# FOLDER/build.log, whose end is shown if the build fails.
build_package() {
	local dir=$1
	shift
	rm -rf "$dir"
	mkdir -p "$dir"
	git archive --format=tar --prefix=src/ HEAD | tar -x -C "$dir"
	(cd "$dir/src" && dpkg-buildpackage -us -uc "$@" >../build.log 2>&1) || {
		tail -60 "$dir/build.log"
		return 1
	}
}
