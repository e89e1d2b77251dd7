#!/usr/bin/env bats
# SPDX-License-Identifier: MIT
# roomleft through the real kernel: figures from a FUSE file system whose
# statistics the case chooses, and from real tmpfs and ext4 mounts.

load common

setup() {
	make_open_dir
	cd "$OPEN" || return
	mnt=$OPEN/mnt
	mkdir "$mnt"
}

teardown() {
	# a server that a case stopped or made hold a request ends, and with it every call it holds
	[ -z "${server:-}" ] || kill -KILL "$server" 2>/dev/null || true
	remove_open_dir
}

# mount_fixed BSIZE FRSIZE BAVAIL BFREE
mount_fixed() {
	mount_fixedfs "$mnt" "bsize=$1,frsize=$2,bavail=$3,bfree=$4"
}

@test "wrong operand counts print the usage line on standard output" {
	for args in "" "/missing /missing" "/ / /"; do
		status=0
		# shellcheck disable=SC2086 # the operands are meant to split
		roomleft $args >out 2>err || status=$?
		[ "$status" -eq 1 ]
		printf 'roomleft <directory>\n' | cmp - out
		[ ! -s err ]
	done
}

@test "there are no options: -h, --help, -- and - are paths like any other" {
	for operand in -h --help -- -; do
		run --separate-stderr roomleft "$operand"
		[ "$status" -eq 1 ] && [ -z "$output" ] && [ "$stderr" = "statfs64: No such file or directory" ] ||
			{ echo "'$operand', missing: status $status, out '$output', err '$stderr'"; false; }
		: >"./$operand"
		run --separate-stderr roomleft "$operand"
		[ "$status" -eq 0 ] && [[ $output =~ ^[0-9]+$ ]] && [ -z "$stderr" ] ||
			{ echo "'$operand', a file: status $status, out '$output', err '$stderr'"; false; }
	done
}

@test "nothing is read from the environment: the same bytes under any locale, time zone or POSIXLY_CORRECT" {
	# /proc has no blocks: its figure is 0 however often it is asked
	same_in_any_environment "$ROOMLEFT" /proc
	[ "$(cat "$OPEN/plain.out")" = $'0\n0' ] || false
	same_in_any_environment "$ROOMLEFT" "$OPEN/missing"
	same_in_any_environment "$ROOMLEFT" --help
	same_in_any_environment "$ROOMLEFT"
	[ "$(cat "$OPEN/plain.out")" = $'roomleft <directory>\n1' ] || false
}

@test "failed statistics calls name statfs64 on standard error" {
	touch "$OPEN/file"
	ln -s nowhere "$OPEN/dangling"
	ln -s loop "$OPEN/loop"
	long=$(printf '%05000d' 0)
	# the reason is the C library's own text: a pattern takes each library's
	while read -r path reason; do
		run --separate-stderr roomleft "$path"
		[ "$status" -eq 1 ]
		[ -z "$output" ]
		# shellcheck disable=SC2053 # the reason is a pattern
		[[ $stderr == "statfs64: "$reason ]] || { echo "$path: $stderr"; false; }
	done <<-END
		$OPEN/missing No such file or directory
		$OPEN/dangling No such file or directory
		$OPEN/loop *ymbolic link*
		$OPEN/$long File*name too long
		$OPEN/file/below Not a directory
	END
	run --separate-stderr roomleft ""
	[ "$status" -eq 1 ] && [ "$stderr" = "statfs64: No such file or directory" ]
}

@test "a file system that fails the query, or whose server has gone, is a failed call too" {
	need_fuse
	# the error a server answers with, the C library's text for it; "gone": the server is killed
	while read -r error reason; do
		if [ "$error" = gone ]; then
			serve_fixedfs "$mnt" bavail=256
			kill -KILL "$server"
			wait "$server" || true
		else
			mount_fixedfs "$mnt" "error=$error"
		fi
		run --separate-stderr roomleft "$mnt"
		unmount_under "$mnt"
		# shellcheck disable=SC2053 # the reason is a pattern
		[ "$status" -eq 1 ] && [ -z "$output" ] && [[ $stderr == "statfs64: "$reason ]] ||
			{ echo "$error: status $status, out '$output', err '$stderr'"; false; }
	done <<-END
		5 I*/[Oo]*error
		116 Stale file*handle
		gone *ot connected
	END
}

@test "a folder it may not search is a failed call for an unprivileged user" {
	mkdir -m 0 "$OPEN/locked"
	run --separate-stderr as_nobody "$ROOMLEFT" "$OPEN/locked/inside"
	[ "$status" -eq 1 ]
	[ -z "$output" ]
	[ "$stderr" = "statfs64: Permission denied" ]
}

@test "figures are whole MiB of available blocks in the fundamental block size, for any path" {
	need_fuse
	# bsize frsize bavail bfree figure. With no fundamental size (frsize 0)
	# the kernel reports the block size as one. The last three rows wrap,
	# unguarded, to 4079, 1 and 1 in the first product, the first sum and
	# the last sum.
	while read -r bsize frsize bavail bfree figure; do
		mount_fixed "$bsize" "$frsize" "$bavail" "$bfree"
		for path in "$mnt" "$mnt/file"; do
			roomleft "$path" >out 2>err || { echo "$path: status $?: $(cat err)"; false; }
			printf '%s\n' "$figure" | cmp -s - out && [ ! -s err ] ||
				{ echo "$bavail x $frsize: got '$(cat out)', want $figure"; false; }
		done
		unmount_under "$mnt"
	done <<-END
		4096 4096 256 256 1
		4096 4096 255 255 0
		4096 4096 0 0 0
		1 1 1048575 1048575 0
		1 1 1048576 1048576 1
		1 1 2097151 2097151 1
		1000 1000 1049 1049 1
		1048576 4096 256 256 1
		4096 1048576 256 256 256
		4096 0 256 256 1
		4096 4096 100 5000 0
		4096 4096 512 1000000 2
		4096 4096 18446744073709551615 18446744073709551615 72057594037927935
		1048576 1048576 9223372036854775807 9223372036854775807 9223372036854775807
		1048576 1048576 9223372036854775808 9223372036854775808 9223372036854775807
		2097152 2097152 18446744073709551615 18446744073709551615 9223372036854775807
		1048575 1048575 18446744073709551615 18446744073709551615 9223372036854775807
		4095 4095 18446744073709551615 18446744073709551615 72040001851883519
		1048577 1048577 9223363240769093632 9223363240769093632 9223372036853727239
		3000000 3000000 3074457345618258602 3074457345618258602 8796093022207999998
		4294966272 4294966272 4294967295 4294967295 17592181846016
		2147483648 2147483648 3 3 6144
		4293918720 4293918720 4504699407499281 4504699407499281 9223372036854775807
		2097151 2097151 9223376434903384066 9223376434903384066 9223372036854775807
		2097149 2097149 9223385231013183516 9223385231013183516 9223372036854775807
	END
}

@test "the figure is the kernel's count of available blocks on the file systems at hand" {
	# Needs nothing a builder or a container may lack. Whatever else runs
	# may write and delete beside the case meanwhile, so the count is read
	# before and after the call, and the call made again while the figure
	# and the count differ: a figure that is wrong is wrong every time. Up to
	# 300 times: with CI's checks side by side, a call under an emulator once
	# met a count that moved in each of 50 tries.
	counted() { stat -f -c '%a %f %S' "$1"; }
	mib() { echo $(($1 * $3 / 1048576)) $(($2 * $3 / 1048576)); }
	for path in "$BATS_CWD" "$OPEN" /tmp / "${ROOMLEFT%/*}" "$BATS_TEST_DIRNAME"; do
		for try in $(seq 300) never; do
			[ "$try" != never ] ||
				{ echo "$path: got '$(cat out)'; the kernel counts $want MiB available, $free MiB free"; false; }
			# shellcheck disable=SC2046 # three numbers
			before=$(mib $(counted "$path"))
			roomleft "$path" >out 2>err || { echo "$path: status $?: $(cat err)"; false; }
			read -r want free <<<"$before"
			# shellcheck disable=SC2046 # three numbers
			[ "$before" = "$(mib $(counted "$path"))" ] && printf '%s\n' "$want" | cmp -s - out && [ ! -s err ] &&
				break
			sleep 0.1
		done
	done
}

@test "blocks reserved for the superuser are not counted, whoever asks; each figure is of its moment" {
	need_loop
	# tmpfs reserves nothing: all of its 3 MiB are available, until a MiB
	# is written
	mount -t tmpfs -o size=3m tmpfs "$mnt"
	run --separate-stderr roomleft "$mnt"
	head -c 1048576 /dev/zero >"$mnt/written"
	after=$(roomleft "$mnt")
	umount "$mnt"
	[ "$status" -eq 0 ] && [ "$output" = 3 ] && [ "$after" = 2 ] || { echo "$output, then $after"; false; }
	# ext4 with half its blocks reserved: available is what df calls so,
	# for root and for anyone else
	truncate -s 16M "$OPEN/image"
	mkfs.ext4 -q -F -b 4096 -m 50 "$OPEN/image"
	mount -o loop "$OPEN/image" "$mnt"
	want=$(( $(stat -f -c '%a * %S' "$mnt") / 1048576 ))
	free=$(( $(stat -f -c '%f * %S' "$mnt") / 1048576 ))
	run --separate-stderr roomleft "$mnt"
	as_nobody=$(as_nobody "$ROOMLEFT" "$mnt")
	umount "$mnt"
	[ "$status" -eq 0 ] && [ "$output" = "$want" ] && [ "$as_nobody" = "$want" ] && [ "$want" -lt "$free" ] ||
		{ echo "root: $output, nobody: $as_nobody; $want available, $free free"; false; }
}

@test "on an overlay, as in a container, the figure is that of the file system under its writable layer" {
	need_mount
	mkdir lower upper merged
	mount -t tmpfs -o size=8m tmpfs lower
	mount -t tmpfs -o size=3m tmpfs upper
	mkdir upper/layer upper/work
	mount -t overlay -o lowerdir=lower,upperdir=upper/layer,workdir=upper/work overlay merged
	run --separate-stderr roomleft merged
	umount merged upper lower
	[ "$status" -eq 0 ] && [ "$output" = 3 ] && [ -z "$stderr" ]
}

@test "a symbolic link is followed: the figure is that of the file system its target is on" {
	need_mount
	mkdir small big
	mount -t tmpfs -o size=10m tmpfs small
	mount -t tmpfs -o size=300m tmpfs big
	ln -s ../big small/into-big
	ln -s into-big small/via-a-link
	figures=$(roomleft small && roomleft small/into-big && roomleft small/via-a-link)
	umount small big
	[ "$figures" = $'10\n300\n300' ] || { echo "$figures"; false; }
}

@test "on a read-only mount the figure is the file system's, though nothing can be written there" {
	need_mount
	mkdir rw ro
	mount -t tmpfs -o size=5m tmpfs rw
	mount --bind -o ro rw ro
	figure=$(roomleft ro)
	written=0
	touch ro/file 2>/dev/null || written=$?
	umount ro rw
	[ "$figure" = 5 ] && [ "$written" != 0 ] || { echo "figure $figure, touch status $written"; false; }
}

@test "on a file system that does not answer it waits as long as the kernel does: timeout gives up with 124" {
	need_fuse
	serve_fixedfs "$mnt" bavail=256
	[ "$(roomleft "$mnt")" = 1 ]
	stop_server "$server"
	if [ -z "${RUN_PREFIX:-}" ]; then
		timeout 1 "$ROOMLEFT" "$mnt" >out 2>err &
		want=124
	else
		# an emulator catches the TERM signal for its guest, and a caught
		# signal cannot end a call that the kernel waits in: that it still
		# waits after a second is what holds there
		timeout -s KILL 1 $RUN_PREFIX "$ROOMLEFT" "$mnt" >out 2>err &
		want=137
	fi
	# A call that the server had taken would wait for ever, past any
	# signal: after half a minute the server goes on, and the case fails.
	late=0
	wait_for $! 300 kill -CONT "$server" || late=1
	kill -CONT "$server"
	[ "$late" = 0 ] && [ "$status" -eq "$want" ] && [ ! -s out ] && [ ! -s err ] ||
		{ echo "status $status, still waiting after half a minute: $late, out '$(cat out)', err '$(cat err)'"; false; }
}

# held_call FREE: roomleft under timeout 1 on a FUSE mount whose server has taken the statfs request
# and holds it: after timeout's signal and SIGKILL the call still waits, in the kernel, until the
# command FREE lets it go; then timeout ends as for any call it had to end. A call still held ten
# seconds after FREE is let go by killing the server, and the case fails rather than hangs.
held_call() {
	local call caller state late=0 want
	serve_fixedfs "$mnt" hold,bavail=256
	timeout 1 ${RUN_PREFIX:-} "$ROOMLEFT" "$mnt" >out 2>err &
	call=$!
	# an emulator may catch TERM (Debian 12's qemu does): then the case's KILL ends it, and timeout says so
	want=124
	[ -z "${RUN_PREFIX:-}" ] || want='124|137'
	for _ in $(seq 100); do
		! grep -q 'holding a statfs request' "$OPEN/server.err" || break
		sleep 0.05
	done
	sleep 1.5
	read -r caller <"/proc/$call/task/$call/children" || true
	kill -KILL "$caller" 2>/dev/null || true
	sleep 0.2
	state=$(sed 's/.*) //' "/proc/${caller:-none}/stat" 2>/dev/null | cut -c1) || true
	"$1"
	wait_for "$call" 100 kill -KILL "$server" || late=1
	[ "$state" = D ] && [ "$late" = 0 ] && [[ $status =~ ^($want)$ ]] && [ ! -s out ] && [ ! -s err ] ||
		{ echo "$1: held in state '$state'; status $status, still held ten seconds after: $late"; false; }
	kill -KILL "$server" 2>/dev/null || true
	unmount_under "$mnt"
}

@test "a request a FUSE server has taken holds the call past every signal, until the server answers or ends" {
	need_fuse
	server_answers() { kill -USR1 "$server"; }
	server_ends() { kill -KILL "$server"; }
	for free in server_answers server_ends; do
		held_call "$free"
	done
}

@test "a request a FUSE server has taken holds the call until its connection is aborted, umount -f too" {
	need_fuse
	need_root
	# the connection's name is its device's number, major * 2^20 + minor
	connection_aborted() {
		local dev
		dev=$(awk -v dir="$mnt" '$5 == dir { print $3 }' /proc/self/mountinfo)
		unshare --mount sh -ec "mount -t fusectl fusectl /sys/fs/fuse/connections
			echo 1 >/sys/fs/fuse/connections/$((${dev%:*} * 1048576 + ${dev#*:}))/abort"
	}
	# (umount -f then finds the mount busy, and leaves it to the case's unmount)
	umount_forced() { umount -f "$mnt" 2>/dev/null || true; }
	for free in connection_aborted umount_forced; do
		held_call "$free"
	done
}

@test "a figure that cannot be written is a failure; a pipe whose reader has gone kills it" {
	write_to_full() { roomleft / >/dev/full; }
	write_to_closed() { roomleft / >&-; }
	# a terminal drops what it fails to write: only the stream's error flag tells
	write_to_hungup_tty() { writing_to hungup-tty ${RUN_PREFIX:-} "$ROOMLEFT" /; }
	# SIGPIPE ends it as it ends nearly every program, 141 to the shell; where
	# the caller ignores SIGPIPE the write fails as any other does
	write_to_gone_reader() { writing_to gone-reader ${RUN_PREFIX:-} "$ROOMLEFT" /; }
	write_to_gone_reader_ignored() { writing_to gone-reader-ignored ${RUN_PREFIX:-} "$ROOMLEFT" /; }
	# the usage line, itself a failure, is not checked: status 1 either way, in silence
	usage_to_full() { roomleft >/dev/full; }
	usage_to_gone_reader_ignored() { writing_to gone-reader-ignored ${RUN_PREFIX:-} "$ROOMLEFT"; }
	while read -r writer want message; do
		run --separate-stderr "$writer"
		# shellcheck disable=SC2053 # the reason is a pattern
		[ "$status" -eq "$want" ] && [[ $stderr == $message && $stderr != *$'\n'* ]] && [ -z "$output" ] ||
			{ echo "$writer: status $status, said '$stderr'"; false; }
	done <<-END
		write_to_full 1 stdout: No space left on device
		write_to_closed 1 stdout: Bad file descriptor
		write_to_hungup_tty 1 stdout: *
		write_to_gone_reader 141
		write_to_gone_reader_ignored 1 stdout: Broken pipe
		usage_to_full 1
		usage_to_gone_reader_ignored 1
	END
}

@test "a static build needs nothing from the system" {
	need_mount
	need_static
	mkdir "$OPEN/root"
	# a file system of its own, whose figure nothing else changes meanwhile
	mount -t tmpfs -o size=64m tmpfs "$OPEN/root"
	run --separate-stderr alone "$ROOMLEFT" /
	[ "$status" -eq 0 ] && [ "$output" = "$(roomleft "$OPEN/root")" ] && [ -z "$stderr" ]
}

@test "a case that cannot unmount what it mounted fails, and does not hang" {
	need_fuse
	# a case whose every unmount fails, run by a bats of its own (a case of
	# this file's own would be a line that begins with the word below)
	case_word=@test
	cat >"$OPEN/stuck.bats" <<-END
		load $BATS_TEST_DIRNAME/common
		setup() { mount_fixedfs "$mnt" bavail=1; }
		teardown() { unmount_under "$mnt"; }
		$case_word "unmounts fail" {
			fusermount3() { false; }
			umount() { false; }
		}
	END
	ended=0
	detached env -i PATH="$PATH" FIXEDFS="$FIXEDFS" timeout 30 "$BATS_ROOT/bin/bats" "$OPEN/stuck.bats" >"$OPEN/out" 2>&1 ||
		ended=$?
	unmount_under "$mnt"
	[ "$ended" -eq 1 ] && grep -q "cannot unmount $mnt" "$OPEN/out" ||
		{ echo "bats ended with status $ended"; cat "$OPEN/out"; false; }
}
