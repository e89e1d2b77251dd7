# SPDX-License-Identifier: MIT
# What CI's builds and checks share, each sourcing it first at the top of the tree, where .ci/leg runs it:
# strict mode, the machine's architecture, release and suite, and the helpers below.
# shellcheck shell=bash
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
native=$(dpkg --print-architecture)
release=$(tools/arch release)
codename=$(tools/arch suite "$release")
export native release

fail() { echo "$*" >&2 && exit 1; }
installed() { [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == *'ok installed' ]]; }
# lacks, has PATTERN COMMAND...: COMMAND's output (output puts it in out), read whole (grep -q could end
# it by SIGPIPE, which pipefail would take for its failure), has no line, or a line, that matches
output() { out=$("${@:2}") || fail "${*:2}: status $?"; }
lacks() { output "$@" && ! grep -E "$1" <<<"$out" || fail "${*:2}: has a line with $1"; }
has() { output "$@" && grep -qE "$1" <<<"$out" || fail "${*:2}: no line with $1"; }
# suite_passed LOG: a package build's log has ctest's line that the suite passed; none_skipped BUILD: no
# case skipped in ctest's run there, not even by itself, which NO_SKIP does not reach
suite_passed() { grep -E '^[0-9]+% tests passed' "$1" || fail "$1: no line of ctest's that the suite passed"; }
none_skipped() { lacks ' # skip' cat "$1/Testing/Temporary/LastTest.log"; }
# built_for ARCH PROGRAM...: of ARCH's machine, class, byte order and float ABI (armel's floats in integer
# registers, armhf's in VFP ones); static-pie (ASLR places it; no interpreter or library); stack not executable
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
# build_package FOLDER [OPTION...]: dpkg-buildpackage in a copy of the tree, FOLDER/src, its log beside
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
# sbuild_user: the user sbuild-ci that Debian's builders and test beds run as, made for good if missing,
# with subordinate ids for their user namespaces (useradd takes a free range where /etc/subuid is);
# "${as_user[@]}" COMMAND then runs COMMAND as it
sbuild_user() {
	tools/need-packages passwd uidmap
	if ! id sbuild-ci >/dev/null 2>&1; then
		touch /etc/subuid /etc/subgid
		useradd --create-home --shell /bin/bash sbuild-ci
		echo "made the user sbuild-ci: $(grep '^sbuild-ci:' /etc/subuid)"
	fi
	grep -q '^sbuild-ci:' /etc/subuid || fail "sbuild-ci has no subordinate ids in /etc/subuid"
	# shellcheck disable=SC2034 # for the scripts that source this file
	as_user=(runuser -u sbuild-ci -- env HOME="$(getent passwd sbuild-ci | cut -d: -f6)")
}
# bare_or_root LEG PACKAGE: where PACKAGE is installed here, runs the leg LEG in a fresh root of this
# release with nothing but apt instead, as a bare system would run it
bare_or_root() {
	installed "$2" || return 0
	echo "$2 is installed here: the leg runs in a fresh $codename root with nothing but apt"
	exec env -u DEBIAN_ROOTS DEBIAN_VARIANT=apt tools/in-debian "$codename" .ci/run "$1"
}
# the chroot, as a tarball, that the sbuild leg makes, and its autopkgtest and piuparts start from too
# shellcheck disable=SC2034 # for the scripts that source this file
chroot_tarball=$PWD/build-ci/chroot/$codename-$native.tar.gz
# nested PREFIX COMMAND...: runs COMMAND, whose output holds legs of its own (.ci/run in a root), and
# counts each among this run's, PREFIX before its title; it fails where COMMAND or the counting does
nested() {
	local prefix=$1
	shift
	"$@" 2>&1 | sed -unE "p; s/^==== (.*): passed in [0-9]+s$/passed\t-\t$prefix\1/w /dev/stderr
		s/^==== (.*): FAILED \(status [0-9]+\)$/failed\t-\t$prefix\1/w /dev/stderr
		s/^NOT RUN: (.*)$/notrun\t-\t$prefix\1/w /dev/stderr" 2>>"${LEG_RESULTS:-build-ci/legs}"
}
