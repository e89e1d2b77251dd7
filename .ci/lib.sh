# SPDX-License-Identifier: MIT
# What CI's builds and checks share: each sources it first, from the top of the tree (.ci/leg runs them
# there). Strict mode, the machine's architecture, release and suite, and the helpers below.
# shellcheck shell=bash
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
native=$(dpkg --print-architecture)
release=$(tools/arch release)
suite=$(tools/arch suite "$release")
export native release

fail() {
	echo "$*" >&2
	exit 1
}
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
# lacks, has PATTERN COMMAND...: COMMAND's output has no line, or a line, that matches (read whole:
# a grep -q that stops early could kill COMMAND with SIGPIPE, which pipefail takes for its failure)
lacks() {
	local pattern=$1 out
	shift
	out=$("$@")
	if grep -E "$pattern" <<<"$out"; then fail "$*: has a line with $pattern"; fi
}
has() {
	local pattern=$1 out
	shift
	out=$("$@")
	grep -qE "$pattern" <<<"$out" || fail "$*: no line with $pattern"
}

# built_for ARCH PROGRAM...: each is of ARCH's machine, class, byte order and float ABI (armel passes
# floats in integer registers, armhf in VFP ones), and static-pie (ASLR places it; no interpreter, no
# library needed) with a stack that cannot be executed
built_for() {
	local arch=$1 machine class order prog headers vfp
	shift
	machine=$(tools/arch "$arch" elf)
	class=$(tools/arch "$arch" class)
	order=$(tools/arch "$arch" order)
	for prog in "$@"; do
		headers=$(readelf -hldAW "$prog")
		grep -qx " *Machine: *$machine" <<<"$headers" && grep -qx " *Class: *$class" <<<"$headers" &&
			grep -qx " *Data: .*, $order endian" <<<"$headers" || fail "$prog: not $machine $class $order endian"
		vfp=$(grep -c 'Tag_ABI_VFP_args: VFP registers' <<<"$headers" || true)
		case $arch:$vfp in armhf:0 | armel:[1-9]*) fail "$prog: not the float ABI of $arch" ;; esac
		grep -q 'Type: *DYN' <<<"$headers" && ! grep -qE 'INTERP|\(NEEDED\)' <<<"$headers" || fail "$prog: not static-pie"
		grep -qE 'GNU_STACK.* RW ' <<<"$headers" || fail "$prog: its stack can be executed"
		echo "$prog: $machine, $class, $order endian, static-pie, its stack not executable"
	done
}

# protected ARCH PROGRAM...: each one's main calls the stack protector's handler (an unstripped build)
protected() {
	local objdump=objdump prog main
	[ "$1" = "$native" ] || objdump=$(tools/arch "$1" gnu-type)-objdump
	shift
	for prog in "$@"; do
		main=$("$objdump" -d "$prog" | awk '/<main>:$/ { on = 1 } /^$/ { on = 0 } on')
		[ -n "$main" ] || fail "$prog: no main in its symbols: an unstripped build is needed"
		grep -q '<__stack_chk_fail>' <<<"$main" || fail "$prog: main does not call the stack protector"
		echo "$prog: main calls the stack protector"
	done
}

# build_package FOLDER [OPTION...]: dpkg-buildpackage of a copy of the tree in FOLDER/src, its log
# FOLDER/build.log, whose end is shown if it fails
build_package() {
	local dir=$1
	shift
	rm -rf "$dir"
	tools/copy-tree "$dir/src"
	(cd "$dir/src" && dpkg-buildpackage -us -uc "$@" >../build.log 2>&1) || {
		tail -60 "$dir/build.log"
		fail "dpkg-buildpackage $* failed: the end of $dir/build.log is above"
	}
}

# sbuild_user: the unprivileged user sbuild-ci that Debian's builders and test beds run as, made for good
# where missing, with subordinate ids from a free range (useradd gives them where /etc/subuid exists)
# for the user namespaces they map a chroot's users onto; then "${as_user[@]}" COMMAND runs COMMAND as it
sbuild_user() {
	if ! id sbuild-ci >/dev/null 2>&1; then
		touch /etc/subuid /etc/subgid
		useradd --create-home --shell /bin/bash sbuild-ci
		echo "made the user sbuild-ci: $(grep '^sbuild-ci:' /etc/subuid)"
	fi
	grep -q '^sbuild-ci:' /etc/subuid || fail "sbuild-ci has no subordinate ids in /etc/subuid"
	# shellcheck disable=SC2034 # for the scripts that source this file
	as_user=(runuser -u sbuild-ci -- env HOME="$(getent passwd sbuild-ci | cut -d: -f6)")
}
# the chroot that sbuild-build makes, which autopkgtest and piuparts start from too
# shellcheck disable=SC2034 # for the scripts that source this file
chroot=$PWD/build-ci/chroot/$suite-$native.tar.gz

# in_root RELEASE COMMAND...: tools/in-debian COMMAND in the root of RELEASE kept for the run, which
# the first call makes with that release's architectures and every package its legs install
in_root() {
	local of=$1
	shift
	DEBIAN_ARCHES=$(tools/arch list "$of" | grep -vx "$native" | paste -sd' ') \
	DEBIAN_INCLUDE=$(cat <(echo make mawk git) <(.ci/artefacts/packages --list) <(.ci/artefacts/packages-cross --list "$of") |
		paste -sd' ') tools/in-debian "$(tools/arch suite "$of")" "$@"
}

# nested PREFIX COMMAND...: runs COMMAND, whose output holds legs of its own (.ci/run in a root), and
# counts each among this run's, PREFIX before its title
nested() {
	local prefix=$1 line result title
	shift
	"$@" 2>&1 | while IFS= read -r line; do
		printf '%s\n' "$line"
		case $line in
		"==== "*": passed in "*s) result=passed title=${line#==== } title=${title%: passed in *} ;;
		"==== "*": FAILED (status "*) result=failed title=${line#==== } title=${title%: FAILED (status *} ;;
		"NOT RUN: "*) result=notrun title=${line#NOT RUN: } ;;
		*) continue ;;
		esac
		printf '%s\t-\t%s\n' "$result" "$prefix$title" >>"${LEG_RESULTS:-build-ci/legs}"
	done
	return "${PIPESTATUS[0]}"
}
