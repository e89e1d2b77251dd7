#!/bin/sh
# SPDX-License-Identifier: MIT
# The checks that meet a kernel itself, run as root on a machine booted with
# nothing but busybox, the programs and this script (tools/on-kernel does
# that for each architecture's own kernel). They make the kernel's own file
# systems (tmpfs of several sizes, ext2 with blocks reserved for the
# superuser and ext4 with a disk quota, on loop devices) and links, and hold
# each program's line, status and messages to the byte. A line a check,
# "ok ..." or "not ok ...", then the counts; status 1 when any check failed.
#   ROOMLEFT, WHERETO: the programs (default: those on PATH)
#   BLOCKLIMIT: the suite's helper that sets a disk quota (default: on PATH)
#   QUOTA_IMAGE: an ext4 image with the quota feature, of 8 MiB or more
#                (default: /quota.img)
# shellcheck disable=SC3043 # busybox's sh, which runs this, has local
set -u
roomleft=${ROOMLEFT:-$(command -v roomleft)}
whereto=${WHERETO:-$(command -v whereto)}
blocklimit=${BLOCKLIMIT:-$(command -v blocklimit)}
quota_image=${QUOTA_IMAGE:-/quota.img}
nl='
'
mib=1048576
passed=0
failed=0
work=$(mktemp -d)
chmod 755 "$work" # the cases run as nobody reach into it
mnt=$work/mnt
loop=
mkdir "$mnt"

# check TEXT COMMAND...: runs COMMAND as one check, reported as TEXT, and
# ends with its status (the checks of what a failed one set up do not run)
check() {
	local what=$1
	shift
	if "$@" 2>"$work/why"; then
		passed=$((passed + 1))
		echo "ok $what"
	else
		failed=$((failed + 1))
		echo "not ok $what: $(cat "$work/why")"
		return 1
	fi
}

# gives STATUS OUT ERR COMMAND...: COMMAND ends with STATUS, having written
# exactly the bytes OUT on standard output and ERR on standard error
gives() {
	local status=0 expected=$1 out=$2 err=$3
	shift 3
	"$@" >"$work/out" 2>"$work/err" || status=$?
	[ "$status" = "$expected" ] && printf '%s' "$out" | cmp -s - "$work/out" &&
		printf '%s' "$err" | cmp -s - "$work/err" && return 0
	echo "status $status, wrote '$(cat "$work/out")', said '$(cat "$work/err")'" >&2
	return 1
}

# after su's -c CMD come CMD's $0 and arguments
as_nobody() { su -s /bin/sh nobody -c 'exec "$0" "$@"' "$@"; }
to_full() { "$@" >/dev/full; }

# kernel_mib PATH FIELD: whole MiB of PATH's file system's blocks counted
# in FIELD (stat's %a available, %f free), in the fundamental block size
kernel_mib() {
	# shellcheck disable=SC2046 # two numbers
	set -- $(stat -f -c "$2 %S" "$1")
	echo $(($1 * $2 / mib))
}

# roomleft on tmpfs: a size is kept in blocks of the kernel's page size,
# which a 32-bit kernel counts in 32 bits. Where the size asked for is kept,
# the figure is that size; where it is not, the kernel's own count. Each
# mount is a check: without it the figures would be the parent file system's.
tmpfs() { mount -t tmpfs -o "size=$1" tmpfs "$mnt"; }
if check "tmpfs of 1 MiB mounted, for the kernel's page size" tmpfs 1m; then
	page=$(stat -f -c %S "$mnt")
	umount "$mnt"
	for blocks in $((mib / page)) $((mib / page - 1)) $((3 * mib / page)) $((1 << 31)) \
		$(((1 << 32) - 1)) $((1 << 32)) $(((1 << 32) + mib / page)) $((1 << 33)); do
		check "tmpfs of $blocks blocks of $page bytes mounted" tmpfs $((blocks * page)) || continue
		kept=$(stat -f -c %b "$mnt")
		if [ "$kept" = "$blocks" ]; then
			want=$((blocks * page / mib))
			check "roomleft on tmpfs of $blocks blocks of $page bytes: $want" \
				gives 0 "$want$nl" "" "$roomleft" "$mnt"
		else
			want=$(kernel_mib "$mnt" %a)
			check "roomleft on tmpfs of $blocks blocks of $page bytes, kept as $kept: $want" \
				gives 0 "$want$nl" "" "$roomleft" "$mnt"
		fi
		umount "$mnt"
	done
fi

# let_go: what a loop device's setup made, whole or in part, is unmounted and detached
let_go() {
	umount "$mnt" 2>/dev/null
	losetup -d "$loop" 2>/dev/null
}

# roomleft on ext2 with half its blocks reserved: the reserve is not
# counted, whoever asks
ext2() {
	truncate -s 16M "$work/image" && loop=$(losetup -f) && losetup "$loop" "$work/image" &&
		mke2fs -b 4096 -m 50 "$loop" >/dev/null && mount -t ext2 "$loop" "$mnt"
}
reserve_left_out() {
	[ "$want" -lt "$free" ] || {
		echo "nothing reserved: $want of $free MiB available" >&2
		return 1
	}
	gives 0 "$want$nl" "" "$@"
}
if check "ext2 with half its blocks reserved, on a loop device" ext2; then
	want=$(kernel_mib "$mnt" %a)
	free=$(kernel_mib "$mnt" %f)
	check "roomleft on it, as root: $want of $free MiB free" reserve_left_out "$roomleft" "$mnt"
	check "roomleft on it, as nobody: $want" reserve_left_out as_nobody "$roomleft" "$mnt"
fi
let_go

# roomleft does not count disk quotas: on ext4 (with its quota feature, made
# before boot: busybox's mke2fs has no such feature) where nobody may hold
# 1 MiB, nobody is told the file system's figure all the same, and cannot
# write 2 MiB there
quota_fs() {
	[ -f "$quota_image" ] && loop=$(losetup -f) && losetup "$loop" "$quota_image" &&
		mount -t ext4 -o usrquota "$loop" "$mnt" && chmod 1777 "$mnt" && "$blocklimit" "$loop" 65534 1024
}
quota_bites() {
	! as_nobody dd if=/dev/zero of="$mnt/two" bs=1024 count=2048 2>"$work/dd" &&
		grep -q 'quota exceeded' "$work/dd" || {
		echo "nobody wrote 2 MiB under a quota of 1: $(cat "$work/dd")" >&2
		return 1
	}
}
if check "ext4 with a disk quota of 1 MiB for nobody, on a loop device" quota_fs; then
	want=$(kernel_mib "$mnt" %a)
	check "roomleft on it, as nobody: $want, its quota not counted" gives 0 "$want$nl" "" as_nobody "$roomleft" "$mnt"
	check "nobody cannot write 2 MiB there" quota_bites
fi
let_go

# roomleft's usage line, the kernel's errors, and a figure that cannot be written
touch "$work/file"
mkdir -m 700 "$work/locked"
check "roomleft with no operand: its usage line" gives 1 "roomleft <directory>$nl" "" "$roomleft"
check "roomleft with two operands: its usage line" gives 1 "roomleft <directory>$nl" "" "$roomleft" / /
check "roomleft on a missing path" \
	gives 1 "" "statfs64: No such file or directory$nl" "$roomleft" "$work/missing"
check "roomleft on a path through a file" \
	gives 1 "" "statfs64: Not a directory$nl" "$roomleft" "$work/file/below"
check "roomleft, as nobody, in a folder nobody may search" \
	gives 1 "" "statfs64: Permission denied$nl" as_nobody "$roomleft" "$work/locked/inside"
check "roomleft to /dev/full" gives 1 "" "stdout: No space left on device$nl" to_full "$roomleft" /

# whereto: stored targets to the byte, the first hop only, silent failures
# target TEXT DESCRIPTION: a link to TEXT prints TEXT and a newline
target() {
	ln -s -- "$1" "$work/link"
	check "whereto on a link to $2" gives 0 "$1$nl" "" "$whereto" "$work/link"
	rm "$work/link"
}
target "$(printf '%4095s' '' | tr ' ' x)" "4,095 bytes"
target "$(printf 'a\tb')" "a tab"
target 'back\slash\n' "backslashes"
target "$(printf 'ctl\001\002\033[0m\177')" "control bytes"
target "$(printf '\303\251t\303\251 \342\206\222 \360\237\224\227')" "UTF-8"
target -n "a leading dash"
ln -s final "$work/middle"
ln -s middle "$work/first"
check "whereto on a chain: the first hop" gives 0 "middle$nl" "" "$whereto" "$work/first"
check "whereto on a folder" gives 1 "" "" "$whereto" "$work"
check "whereto on a missing path" gives 1 "" "" "$whereto" "$work/missing"
check "whereto to /dev/full" gives 1 "" "" to_full "$whereto" "$work/first"

rm -rf "$work"
echo "kernel $(uname -r) on $(uname -m): $passed passed, $failed failed"
[ "$failed" = 0 ]
