# SPDX-License-Identifier: MIT
# Shared by CI's builds and checks (.ci/artefacts/*, .ci/checks/*), which source
# it first: strict mode, the top of the tree as the working folder, and the
# helpers below.
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

# has PATTERN COMMAND...: fails, saying so, unless COMMAND's output has a line
# that matches.
has() {
	local pattern=$1 out
	shift
	out=$("$@")
	grep -qE "$pattern" <<<"$out" || fail "$*: no line with $pattern"
}

# built_for ARCH PROGRAM...: each program is of ARCH: its machine, class and
# byte order, and its float ABI where an architecture has two (armel passes
# floats in integer registers, armhf in VFP registers).
built_for() {
	local arch=$1 machine class order headers abi vfp prog
	shift
	machine=$(tools/arch "$arch" elf)
	class=$(tools/arch "$arch" class)
	order=$(tools/arch "$arch" order)
	for prog in "$@"; do
		headers=$(readelf -hW "$prog")
		grep -qx " *Machine: *$machine" <<<"$headers" &&
			grep -qx " *Class: *$class" <<<"$headers" &&
			grep -qx " *Data: .*, $order endian" <<<"$headers" || fail "$prog: not $machine $class $order endian"
		abi=
		vfp=no
		grep -q 'Tag_ABI_VFP_args: VFP registers' <<<"$(readelf -A "$prog")" && vfp=yes
		case $arch:$vfp in
		armhf:yes) abi=", floats in VFP registers" ;;
		armel:no) abi=", floats in integer registers" ;;
		armhf:* | armel:*) fail "$prog: not the float ABI of $arch" ;;
		esac
		echo "$prog: $machine, $class, $order endian$abi"
	done
}

# linked_hardened PROGRAM...: what the linker gave each program, which
# stripping keeps: static-pie (position-independent, so that ASLR places it,
# and no program interpreter), a RELRO segment with BIND_NOW, and a stack
# that cannot be executed. (That musl's start-up leaves the RELRO region
# writable at run time is the hardening check's to hold.)
linked_hardened() {
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
		[ $status != 0 ] || echo "$prog: static-pie, RELRO and BIND_NOW, non-executable stack"
	done
	return $status
}

# compiled_hardened ARCH ROOMLEFT WHERETO: what the compiler gave both
# programs, which their symbols and debug information show (an unstripped
# build): main calls the stack protector's failure handler; both were
# compiled with -fstack-clash-protection, and whereto's main, whose frame
# holds a buffer of a page, probes its stack with an instruction that ARCH's
# row of tools/arch.table gives (none where the compiler needs none for that
# frame); and where they were compiled with -fcf-protection, main begins
# with an end-branch instruction, while no IBT or SHSTK property marks the
# programs (musl's start files and libc.a have none, so the linker drops it),
# so that the kernel enforces neither.
compiled_hardened() {
	local arch=$1 objdump=objdump probe prog main producer said insn
	shift
	[ "$arch" = "$native" ] || objdump=$(dpkg-architecture -a "$arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)-objdump
	probe=$(tools/arch "$arch" probe)
	for prog in "$@"; do
		# main's instructions, a line each, blanks squeezed
		# (awk reads to the end: a reader that stops early kills the writer with SIGPIPE)
		main=$("$objdump" -d --no-show-raw-insn "$prog" | awk '/<main>:$/ { on = 1; next } /^$/ { on = 0 } on' |
			tr -s ' \t' '  ')
		[ -n "$main" ] || fail "$prog: no main in its symbols: an unstripped build is needed"
		grep -q '<__stack_chk_fail>' <<<"$main" || fail "$prog: main does not call the stack protector's handler"
		producer=$(readelf --debug-dump=info "$prog" 2>/dev/null | awk '/DW_AT_producer.*GNU C\+\+/ && !n++')
		[[ $producer == *-fstack-clash-protection* ]] || fail "$prog: not compiled with -fstack-clash-protection"
		said="main calls the stack protector; built with stack-clash protection"
		if [ "${prog##*/}" = whereto ] && [ "$probe" != - ]; then
			insn=$(grep -m1 -oE " $probe" <<<"$main") || fail "$prog: main does not probe its frame with /$probe/"
			said+=", main's frame probed (${insn# })"
		fi
		if [[ $producer == *-fcf-protection* ]]; then
			grep -qE '^ *[0-9a-f]+: endbr(64|32)$' <<<"$(head -1 <<<"$main")" ||
				fail "$prog: main does not begin with endbr"
			lacks 'IBT|SHSTK' readelf -n "$prog"
			said+="; end-branch instructions, not enforced (no IBT or SHSTK property)"
		fi
		echo "$prog: $said"
	done
}

# copy_tree FOLDER: the files that git holds, as they are in the work tree,
# in FOLDER/src: what a build of them makes, it makes there.
copy_tree() {
	rm -rf "$1"
	mkdir -p "$1/src"
	git ls-files -z | tar --null -T - -cf - | tar -C "$1/src" -xf -
}

# build_package FOLDER [dpkg-buildpackage option...]: the Debian package built
# from a copy of the tree in FOLDER/src; the log is FOLDER/build.log, whose
# end is shown if the build fails.
build_package() {
	local dir=$1
	shift
	copy_tree "$dir"
	(cd "$dir/src" && dpkg-buildpackage -us -uc "$@" >../build.log 2>&1) || {
		tail -60 "$dir/build.log"
		fail "dpkg-buildpackage $* failed: the end of $dir/build.log is above"
	}
}

# sbuild_user: makes the unprivileged user that Debian's builders and test
# beds run as, if missing, with the subordinate ids that its user namespaces
# map the chroot's users onto; then "${as_user[@]}" COMMAND... runs COMMAND
# as that user, in its home.
sbuild_user() {
	local user=sbuild-ci
	if ! id "$user" >/dev/null 2>&1; then
		useradd --create-home --shell /bin/bash "$user"
	fi
	if ! grep -q "^$user:" /etc/subuid; then
		usermod --add-subuids 200000-265535 --add-subgids 200000-265535 "$user"
	fi
	# shellcheck disable=SC2034 # for the scripts that source this file
	as_user=(runuser -u "$user" -- env HOME="$(getent passwd "$user" | cut -d: -f6)")
}

# in_root SUITE COMMAND...: tools/in-debian SUITE COMMAND..., in the root of
# SUITE kept for the run (DEBIAN_ROOTS), which the first call makes with the
# other architectures of that release and, in the same step, every package
# that its packages builds would install (and make, awk and git for
# .ci/run).
in_root() {
	local suite=$1 number of arches packages
	shift
	for number in 12 13 sid; do
		[ "$(tools/arch suite "$number")" != "$suite" ] || of=$number
	done
	[ -n "${of:-}" ] || fail "no Debian release of tools/arch.table is $suite"
	arches=$(tools/arch list "$of" | grep -vx "$native" | paste -sd' ')
	packages=$(cat <(echo make mawk git) <(.ci/artefacts/packages --list) \
		<(.ci/artefacts/packages-cross --list "$of") | paste -sd' ')
	DEBIAN_ARCHES=$arches DEBIAN_INCLUDE=$packages tools/in-debian "$suite" "$@"
}

# nested PREFIX COMMAND...: runs COMMAND, whose output holds legs of its own
# (.ci/run or .ci/leg in another root), and counts each of them among this
# run's legs, its title after PREFIX, so that the run's closing lines name
# each one that failed or did not run.
nested() {
	local prefix=$1 line results=${LEG_RESULTS:-build-ci/legs}
	shift
	"$@" 2>&1 | while IFS= read -r line; do
		printf '%s\n' "$line"
		case $line in
		"==== "*": passed in "*) printf 'nested\t%s\n' "$prefix${line#==== }" | sed 's/: passed in [0-9]*s$//' >>"$results.passed" ;;
		"==== "*": FAILED (status "*) printf 'nested\t%s\n' "$prefix${line#==== }" | sed 's/: FAILED (status [0-9]*)$//' >>"$results.failed" ;;
		"NOT RUN: "*)
			# the legs that kept it back are of the same run: the prefix is theirs too
			line=${line#NOT RUN: }
			line=${line/(kept back by: /(kept back by: $prefix}
			printf 'nested\t%s\n' "$prefix${line//; /; $prefix}" >>"$results.notrun"
			;;
		esac
	done
	return "${PIPESTATUS[0]}"
}
