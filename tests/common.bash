# SPDX-License-Identifier: MIT
# Shared by the suites of both programs.
#
# ROOMLEFT, WHERETO: the binaries under test; FIXEDFS: the FUSE helper.
# RUN_PREFIX: a command to run the binaries through (an emulator, say).
# NO_SKIP=1: a case that cannot run fails instead of skipping (CI).
# NEEDS_NOTHING=1: a case that needs root or FUSE skips without looking (a test bed that may give neither).

bats_require_minimum_version 1.5.0

roomleft() { ${RUN_PREFIX:-} "$ROOMLEFT" "$@"; }
whereto() { ${RUN_PREFIX:-} "$WHERETO" "$@"; }

cannot() {
	if [ "${NO_SKIP:-}" = 1 ]; then
		echo "cannot run: $1" >&2
		return 1
	fi
	skip "$1"
}

need_root() {
	[ "${NEEDS_NOTHING:-}" != 1 ] || skip "needs root, and NEEDS_NOTHING=1"
	[ "$(id -u)" = 0 ] || cannot "needs root"
}

need_fuse() {
	[ "${NEEDS_NOTHING:-}" != 1 ] || skip "needs FUSE, and NEEDS_NOTHING=1"
	[ -n "${FIXEDFS:-}" ] || cannot "no FUSE helper: libfuse3-dev missing, or a cross build and no FIXEDFS"
	[ -r /dev/fuse ] && [ -w /dev/fuse ] || cannot "needs read and write access to /dev/fuse"
	command -v fusermount3 >/dev/null || cannot "needs fusermount3 (package fuse3)"
}

# Mounting file systems, as root: with a loop device too for need_loop.
need_mount() {
	need_root
	local probe
	probe=$(mktemp -d)
	mount -t tmpfs -o size=1m tmpfs "$probe" 2>/dev/null && umount "$probe" ||
		{
			rmdir "$probe"
			cannot "cannot mount file systems here"
		}
	rmdir "$probe"
}

need_loop() {
	need_mount
	losetup -f >/dev/null 2>&1 || cannot "no free loop device"
}

# A folder that any user may enter, for the cases run as another user.
make_open_dir() {
	OPEN=$(mktemp -d /tmp/suite.XXXXXX)
	chmod 755 "$OPEN"
}

# Whatever a case mounted under $OPEN is unmounted first; a mount that stays
# fails the case, and what is mounted is left in place rather than emptied.
remove_open_dir() {
	unmount_under "$OPEN" || return 1
	chmod -R u+rwX "$OPEN"
	rm -rf --one-file-system "$OPEN"
}

# close_descriptors: closes every descriptor of this (sub)shell but 0, 1
# and 2. A daemon started after it (a FUSE file system whose unmount failed)
# then holds none of bats' pipes, on which bats would wait for ever.
close_descriptors() {
	local fd
	for fd in "/proc/$BASHPID/fd/"*; do
		fd=${fd##*/}
		[ "$fd" -gt 2 ] && eval "exec $fd>&-" 2>/dev/null
	done
	return 0
}

# detached COMMAND...: runs COMMAND with no descriptor open but 0, 1 and 2.
detached() {
	(
		close_descriptors
		exec "$@"
	)
}

# mount_fixedfs MOUNTPOINT OPTIONS: the FUSE helper with its -o OPTIONS.
mount_fixedfs() {
	detached "$FIXEDFS" -o "$2" "$1"
}

# serve_fixedfs MOUNTPOINT OPTIONS: the FUSE helper in the foreground of a background job, so that its
# process is $server and can be stopped or killed; its standard error in $OPEN/server.err. Returns
# once the file system is mounted, without asking it anything.
serve_fixedfs() {
	(
		close_descriptors
		exec "$FIXEDFS" -f -o "$2" "$1" 2>"$OPEN/server.err"
	) &
	# shellcheck disable=SC2034 # the case's, which stops or kills it
	server=$!
	for _ in $(seq 600); do
		awk -v dir="$1" '$2 == dir { found = 1 } END { exit !found }' /proc/self/mounts && return 0
		sleep 0.05
	done
	echo "the FUSE server never mounted $1: $(cat "$OPEN/server.err")" >&2
	return 1
}

# wait_for JOB TENTHS FREE...: sets $status to the background job JOB's once it ends. Where it has not
# ended within TENTHS tenths of a second, FREE, which must end it (as going on with, or killing, the
# server that holds its call), runs first, and the return is 1: the case fails rather than hangs.
wait_for() {
	local job=$1 tenths=$2 tick late=0
	shift 2
	for tick in $(seq "$tenths") late; do
		kill -0 "$job" 2>/dev/null || break
		if [ "$tick" = late ]; then
			"$@"
			late=1
		fi
		sleep 0.1
	done
	status=0
	wait "$job" || status=$?
	return $late
}

# stop_server PID: stops the FUSE server PID and returns once each of its
# threads has stopped (kill returns before they have). A thread that still
# ran could take a request meanwhile, and a caller whose request the server
# has taken waits for the answer whatever signal it gets, even SIGKILL.
stop_server() {
	kill -STOP "$1"
	for _ in $(seq 500); do
		# each thread's state: the field after the command's name in (...)
		sed 's/.*) //' "/proc/$1/task/"*/stat | cut -c1 | grep -qv T || return 0
		sleep 0.01
	done
	echo "server $1 did not stop" >&2
	return 1
}

# unmount_under DIR: unmounts every file system mounted on or under DIR,
# the last mounted first (what is mounted on or over another goes before
# it); says which stay mounted, and fails, if any do.
unmount_under() {
	local target left=0
	for target in $(awk -v dir="$1" '$2 == dir || index($2, dir "/") == 1 { print $2 }' \
		/proc/self/mounts | tac); do
		fusermount3 -u "$target" 2>/dev/null || umount "$target" 2>/dev/null ||
			{
				echo "cannot unmount $target" >&2
				left=1
			}
	done
	return $left
}

# as_nobody BINARY ARGS...: runs BINARY as an unprivileged user: as nobody when
# root (from a copy in $OPEN, which nobody can reach), else as is.
as_nobody() {
	local bin=$1
	shift
	if [ "$(id -u)" != 0 ]; then
		${RUN_PREFIX:-} "$bin" "$@"
		return
	fi
	cp "$bin" "$OPEN/"
	setpriv --reuid=65534 --regid=65534 --clear-groups ${RUN_PREFIX:-} "$OPEN/${bin##*/}" "$@"
}

# alone BINARY ARGS...: runs a copy of BINARY as the only program in an empty
# root ($OPEN/root, made by the caller), with the emulator of RUN_PREFIX
# beside it when there is one: what a static build must be able to do.
alone() {
	local bin=$1 root=$OPEN/root
	shift
	cp "$bin" "$root/program"
	if [ -n "${RUN_PREFIX:-}" ]; then
		cp "$(command -v "$RUN_PREFIX")" "$root/emulator"
		chroot "$root" /emulator /program "$@"
	else
		chroot "$root" /program "$@"
	fi
}

need_static() {
	[ "${LINKED:-static}" = static ] || skip "this build is linked dynamically: nothing to check"
}

# writing_to WHERE COMMAND...: runs COMMAND with standard output on
#   hungup-tty           a terminal whose other end is already closed, so
#                        that every write to it fails;
#   gone-reader          a pipe whose reader has gone, as the writer of a
#                        shell pipeline meets it once the reader has ended;
#   gone-reader-ignored  the same, with SIGPIPE ignored by the caller.
# (python ignores SIGPIPE itself, and an ignored signal stays so across exec.)
writing_to() {
	python3 -c 'import os, signal, sys
where, command = sys.argv[1], sys.argv[2:]
signal.signal(signal.SIGPIPE, signal.SIG_IGN if where == "gone-reader-ignored" else signal.SIG_DFL)
other, out = os.openpty() if where == "hungup-tty" else os.pipe()
os.close(other)
os.dup2(out, 1)
os.execvp(command[0], command)' "$@"
}

# same_in_any_environment BINARY ARGS...: BINARY prints the same bytes on
# both streams, and ends with the same status, in an empty environment and
# in one with an odd locale, time zone and POSIXLY_CORRECT.
same_in_any_environment() {
	local how status
	for how in plain odd; do
		status=0
		if [ "$how" = plain ]; then
			env -i PATH="$PATH" ${RUN_PREFIX:-} "$@" >"$OPEN/$how.out" 2>"$OPEN/$how.err" || status=$?
		else
			env -i PATH="$PATH" LANG=tr_TR.UTF-8 LC_ALL=de_DE.UTF-8 LC_MESSAGES=fr_FR.UTF-8 LANGUAGE=fr:de \
				POSIXLY_CORRECT=1 TZ=Pacific/Chatham ${RUN_PREFIX:-} "$@" >"$OPEN/$how.out" 2>"$OPEN/$how.err" ||
				status=$?
		fi
		echo "$status" >>"$OPEN/$how.out"
	done
	cmp "$OPEN/plain.out" "$OPEN/odd.out" && cmp "$OPEN/plain.err" "$OPEN/odd.err" ||
		{
			echo "${*##*/}: not the same bytes in another environment"
			false
		}
}
