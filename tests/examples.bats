#!/usr/bin/env bats
# SPDX-License-Identifier: MIT
# The examples that README.md and the manual pages show, read from those
# files as they stand and run as shown, by sh, with the programs under test
# first on PATH: an example edited in a document is tested as edited. An
# example that names a place (/srv/data, /mnt/share, /etc/alternatives) runs
# in mount and process namespaces of its own, where that place is a file
# system the case made. Output that varies (a figure) is held to its form.

load common

setup() {
	top=$BATS_TEST_DIRNAME/..
	for doc in README.md roomleft/roomleft.1 whereto/whereto.1; do
		[ -f "$top/$doc" ] || cannot "$doc is not beside the suite"
	done
	make_open_dir
	cd "$OPEN" || return
	mkdir bin
	printf '#!/bin/sh\nexec %s "%s" "$@"\n' "${RUN_PREFIX:-}" "$ROOMLEFT" >bin/roomleft
	printf '#!/bin/sh\nexec %s "%s" "$@"\n' "${RUN_PREFIX:-}" "$WHERETO" >bin/whereto
	chmod 755 bin/*
	PATH=$OPEN/bin:$PATH
}

teardown() {
	remove_open_dir
}

# example DOCUMENT N: the Nth example of DOCUMENT as a reader sees it: in
# README.md the fenced blocks of its Usage section, in a manual page its
# literal displays, with mdoc's escapes undone.
example() {
	case $1 in
	*.md)
		awk -v n="$2" '/^## / { usage = $0 == "## Usage" }
			usage && /^```/ { inside = !inside; if (inside) count++; next }
			usage && inside && count == n' "$top/$1"
		;;
	*)
		# (sed undoes the escapes: awks differ in what a backslash in a
		# replacement means)
		awk -v n="$2" '/^\.Bd -literal/ { inside = 1; count++; next }
			/^\.Ed/ { inside = 0 }
			inside && count == n' "$top/$1" | sed 's/\\e/\\/g; s/\\&//g'
		;;
	esac
}

# in_private SETUP SCRIPT [CLEANUP]: runs the shell code SETUP, as root, then
# the file SCRIPT with sh, then CLEANUP, in mount and process namespaces of
# their own, and ends with SCRIPT's status: what SETUP mounts only SCRIPT
# sees, and it goes, with whatever was started there, when they end, however
# they end (in a minute at most: unshare ignores timeout's TERM, and KILL then ends it and all it started).
in_private() {
	detached timeout -k 5 60 unshare --mount --propagation private --pid --fork --kill-child --mount-proc \
		sh -ec "$1"'
		status=0
		sh "$0" || status=$?
		'"${3:-}"'
		exit $status' "$2"
}

# the places the scripts below name, as file systems of a known size
srv_data() { echo "mount -t tmpfs tmpfs /srv && mkdir /srv/data && mount -t tmpfs -o size=$1 tmpfs /srv/data"; }
alternatives='mount -t tmpfs tmpfs /etc/alternatives
	ln -s /usr/bin/vim.basic /etc/alternatives/editor
	ln -s "../far away/less" /etc/alternatives/pager
	echo not a link >/etc/alternatives/notes'
pointed='/etc/alternatives/editor -> /usr/bin/vim.basic
/etc/alternatives/pager -> ../far away/less'

# refuses SCRIPT: the script that refuses a job below 500 MiB on /srv/data
# does so, says why, and lets a job with more go on
refuses() {
	run --separate-stderr in_private "$(srv_data 100m)" "$1"
	[ "$status" -eq 1 ] && [ -z "$output" ] && [ "$stderr" = "only 100 MiB left on /srv/data" ] ||
		{ echo "100 MiB: status $status, out '$output', err '$stderr'"; false; }
	run --separate-stderr in_private "mount -t tmpfs tmpfs /srv" "$1"
	[ "$status" -eq 1 ] && [ -z "$output" ] && [ "$stderr" = "statfs64: No such file or directory" ] ||
		{ echo "no /srv/data: status $status, out '$output', err '$stderr'"; false; }
}

@test "every example in the README and the manual pages has a case here" {
	# DOCUMENT EXAMPLES: as many as the cases below take
	while read -r doc want; do
		for ((n = 1; ; n++)); do [ -n "$(example "$doc" "$n")" ] || break; done
		[ $((n - 1)) = "$want" ] || { echo "$doc shows $((n - 1)) examples; the cases take $want"; false; }
	done <<-END
		README.md 2
		roomleft/roomleft.1 4
		whereto/whereto.1 3
	END
}

@test "README.md: the session under Usage prints what it shows, a figure in its form" {
	example README.md 1 >session
	# each "$ COMMAND" line to a file of its own, what it shows to another
	awk '/^\$ / { n++; sub(/^\$ /, ""); print >("command." n); printf "" >("shown." n); next }
		{ print >("shown." n) }' session
	[ -f command.1 ] || { echo "no session in README.md"; false; }
	for command in command.*; do
		n=${command#command.}
		status=0
		sh "$command" >"printed.$n" 2>err || status=$?
		[ "$status" -eq 0 ] && [ ! -s err ] || { echo "$(cat "$command"): status $status, $(cat err)"; false; }
		# a figure of roomleft varies from machine to machine: its form holds
		if grep -q '^roomleft ' "$command"; then
			sed -i 's/^[0-9][0-9]*$/FIGURE/' "shown.$n" "printed.$n"
		fi
		cmp -s "shown.$n" "printed.$n" ||
			{ echo "$(cat "$command"): printed '$(cat "printed.$n")', not '$(cat "shown.$n")'"; false; }
	done
}

@test "README.md: the script under Usage refuses a job below 500 MiB, then prints where each link points" {
	need_mount
	example README.md 2 >script
	refuses script
	run --separate-stderr in_private "$(srv_data 600m)
		$alternatives" script
	[ "$status" -eq 0 ] && [ "$output" = "$pointed" ] && [ -z "$stderr" ] ||
		{ echo "600 MiB: status $status, out '$output', err '$stderr'"; false; }
}

@test "README.md: the commands under From a release tarball install from a folder of them into an empty /usr/local" {
	need_mount
	# the section's commands, as they stand, then what they installed
	awk '/^```/ { fenced = !fenced; if (section) next }
		!fenced && /^#/ { section = $0 == "### From a release tarball" }
		section && fenced' "$top/README.md" >commands
	[ -s commands ] || { echo "no commands under '### From a release tarball'"; false; }
	{
		echo 'set -e'
		cat commands
		echo "cd / && ${RUN_PREFIX:-} /usr/local/bin/roomleft / >/dev/null"
		echo "${RUN_PREFIX:-} /usr/local/bin/whereto /proc/self/exe >/dev/null"
		echo 'find /usr/local -type f -printf "%m %P\n" | sort'
	} >script
	# a folder as one finds it: the tarball of the architecture named, another's beside it, and the checksums of
	# those and of one not fetched; the version is any release's
	name=roomleft-whereto-2.3~rc1
	mkdir -p download "stage/$name-amd64" "stage/$name-arm64"
	cp "$ROOMLEFT" "$WHERETO" "$top/roomleft/roomleft.1" "$top/whereto/whereto.1" "$top/LICENSE" "$top/README.md" \
		"stage/$name-amd64/"
	touch "stage/$name-arm64/roomleft"
	for arch in amd64 arm64; do tar -C stage -czf "download/$name-$arch.tar.gz" "$name-$arch"; done
	(cd download && sha256sum -- *.tar.gz && echo "$(printf %064d 0)  $name-i386.tar.gz") >download/SHA256SUMS
	cd download
	# in a mount namespace whose /usr/local is empty
	run --separate-stderr in_private "mount -t tmpfs tmpfs /usr/local" "$OPEN/script"
	[ "$status" -eq 0 ] && [ "$output" = "$name-amd64.tar.gz: OK
$name-arm64.tar.gz: OK
644 share/man/man1/roomleft.1
644 share/man/man1/whereto.1
755 bin/roomleft
755 bin/whereto" ] && [ -z "$stderr" ] || { echo "status $status, out '$output', err '$stderr'"; false; }
}

@test "roomleft.1: the script refuses a job below 500 MiB, and lets one above go on" {
	need_mount
	example roomleft/roomleft.1 1 >script
	refuses script
	run --separate-stderr in_private "$(srv_data 600m)" script
	[ "$status" -eq 0 ] && [ -z "$output" ] && [ -z "$stderr" ] ||
		{ echo "600 MiB: status $status, out '$output', err '$stderr'"; false; }
}

@test "roomleft.1: the loop names the writable mounts with less than 1 GiB left, whatever their names, and no other" {
	need_mount
	example roomleft/roomleft.1 2 >script
	# (in a folder of the case's own: a mount on /mnt could hide the machine's, which stat cannot reach)
	at=$OPEN/fs
	mkdir "$at"
	# NAME SIZE OPTIONS: tmpfs mounts on $at/NAME, in this order (two on some points, the later on top)
	mounts=(small 100m rw 'with blank' 200m rw $'with\ttab' 300m rw 'back\nslash' 400m rw $'caf\303\251' 500m rw
		$'new\nline' 600m rw edge 1024m rw below 1023m rw image 50m ro ro-below 60m ro ro-below 70m rw
		ro-above 80m rw ro-above 90m ro)
	wanted=(small:100 'with blank:200' $'with\ttab:300' 'back\nslash:400' $'caf\303\251:500' $'new\nline:600'
		below:1023 ro-below:70)
	unwanted=(edge image ro-above)
	setup="mount -t tmpfs -o size=2g tmpfs '$at'"
	for ((i = 0; i < ${#mounts[@]}; i += 3)); do
		setup+="
			mkdir -p '$at/${mounts[i]}' && mount -t tmpfs -o size=${mounts[i + 1]},${mounts[i + 2]} tmpfs '$at/${mounts[i]}'"
	done
	# the kernel's escapes, and not the locale, shape the names
	export LC_ALL=C
	run --separate-stderr in_private "$setup" script
	# the machine's own mounts vary (names with a newline among them), and some cannot be asked (others'
	# cases end their servers meanwhile): nothing is said of ours, and each line of ours has its form
	! grep -F "$at" <<<"$stderr" || { echo "err '$stderr'"; false; }
	shown=${output//"$at/new"$'\n'"line: "/"$at/newline: "}
	while IFS= read -r line; do
		[[ $line =~ ^(/.*):\ ([0-9]+)\ MiB$ ]] && [ "${BASH_REMATCH[2]}" -lt 1024 ] ||
			{ echo "not a line of the loop's: '$line' in: $output; err: $stderr"; false; }
	done < <(grep -F "$at/" <<<"$shown")
	for want in "${wanted[@]}"; do
		[[ $'\n'$output$'\n' == *$'\n'"$at/${want%:*}: ${want##*:} MiB"$'\n'* ]] ||
			{ echo "no '$at/$want' in: $output"; false; }
	done
	for not in "${unwanted[@]/#/$at/}" /proc /sys /dev/pts; do
		[[ $'\n'$output != *$'\n'"$not: "* ]] || { echo "'$not' in: $output"; false; }
	done
}

@test "roomleft.1: the script tells a share that answers from one that does not, with timeout" {
	need_mount
	need_fuse
	share="mount -t tmpfs tmpfs /mnt && mkdir /mnt/share
		\"$FIXEDFS\" -f -o bavail=65536 /mnt/share 2>/dev/null &
		server=\$!
		for try in \$(seq 600); do grep -q ' /mnt/share ' /proc/self/mounts && break; sleep 0.05; done
		grep -q ' /mnt/share ' /proc/self/mounts || { echo 'the FUSE server never mounted /mnt/share' >&2; exit 1; }"
	example roomleft/roomleft.1 3 >script
	run --separate-stderr in_private "$share" script "fusermount3 -u /mnt/share; wait \$server"
	[ "$status" -eq 0 ] && [ "$output" = "256 MiB left" ] && [ -z "$stderr" ] ||
		{ echo "answering: status $status, out '$output', err '$stderr'"; false; }
	run --separate-stderr in_private "mount -t tmpfs tmpfs /mnt" script
	[ "$status" -eq 1 ] && [ -z "$output" ] && [ "$stderr" = "statfs64: No such file or directory" ] ||
		{ echo "missing: status $status, out '$output', err '$stderr'"; false; }
	# an emulator catches the signal that timeout sends, which then cannot
	# end the call (roomleft.bats holds what an emulated call does)
	[ -z "${RUN_PREFIX:-}" ] || skip "not under an emulator: timeout's signal cannot end the emulated call"
	# stopped by stop_server (common.bash says why), and let go on before it
	# is unmounted, to answer what it was asked; or after half a minute, so
	# that a call the server took ends, and the case fails rather than hangs
	run --separate-stderr in_private "$share
		$(declare -f stop_server)
		stop_server \$server
		(sleep 30; kill -CONT \$server) &" script "kill -CONT \$server; fusermount3 -u /mnt/share; wait \$server"
	[ "$status" -eq 0 ] && [ -z "$output" ] && [ "$stderr" = "/mnt/share: no answer" ] ||
		{ echo "not answering: status $status, out '$output', err '$stderr'"; false; }
}

@test "roomleft.1: aborting the connection of a FUSE server that holds a call lets the call go" {
	need_mount
	need_fuse
	example roomleft/roomleft.1 4 >script
	# in the namespace: a server that takes the request and holds it, and a call that it holds
	run --separate-stderr in_private "mount -t tmpfs tmpfs /mnt && mkdir /mnt/share
		\"$FIXEDFS\" -f -o hold /mnt/share 2>server.err &
		for try in \$(seq 600); do grep -q ' /mnt/share ' /proc/self/mounts && break; sleep 0.05; done
		timeout 1 roomleft /mnt/share >call.out 2>&1 &
		call=\$!
		for try in \$(seq 100); do grep -q holding server.err && break; sleep 0.05; done
		sleep 1.5
		grep -q holding server.err && kill -0 \$call 2>/dev/null || { echo 'no call was held' >&2; exit 1; }" script \
		"wait \$call && echo 0 >call.status || echo \$? >call.status"
	[ "$status" -eq 0 ] && [ -z "$output" ] && [ -z "$stderr" ] && [ "$(cat call.status)" = 124 ] && [ ! -s call.out ] ||
		{ echo "status $status, out '$output', err '$stderr'; the call: $(cat call.status call.out)"; false; }
}

@test "roomleft.1: the worked figures it states are what roomleft prints" {
	need_fuse
	# "N available bytes print M", "N print M", and the figure that any larger one is printed as
	text=$(tr '\n' ' ' <"$top/roomleft/roomleft.1")
	pairs=$(grep -oE '[0-9][0-9,]* (available bytes )?print [0-9]+' <<<"$text" |
		sed -E 's/ (available bytes )?print / /; s/,//g')
	cap=$(grep -oE 'printed as [0-9]+' <<<"$text" | sed 's/printed as //')
	[ "$(wc -l <<<"$pairs")" -ge 3 ] && [ -n "$cap" ] || { echo "worked figures: $pairs; a cap of '$cap'"; false; }
	mkdir mnt
	while read -r bytes figure; do
		mount_fixedfs mnt "bsize=1,frsize=1,bavail=$bytes,bfree=$bytes"
		printed=$(roomleft mnt)
		unmount_under "$OPEN/mnt"
		[ "$printed" = "$figure" ] || { echo "$bytes bytes: roomleft printed $printed; the page says $figure"; false; }
	done <<<"$pairs"
	mount_fixedfs mnt bsize=1048576,frsize=1048576,bavail=18446744073709551615
	printed=$(roomleft mnt)
	unmount_under "$OPEN/mnt"
	[ "$printed" = "$cap" ] || { echo "at most: roomleft printed $printed; the page says $cap"; false; }
}

@test "whereto.1: the loop prints where each link in a folder points, and nothing of the rest" {
	need_mount
	example whereto/whereto.1 1 >script
	run --separate-stderr in_private "$alternatives" script
	[ "$status" -eq 0 ] && [ "$output" = "$pointed" ] && [ -z "$stderr" ] ||
		{ echo "status $status, out '$output', err '$stderr'"; false; }
}

@test "whereto.1: the test tells a symbolic link from anything else" {
	example whereto/whereto.1 2 >script
	ln -s "../some where" link
	touch file
	for path_said in "link:link is a link to ../some where" file: missing: ; do
		run --separate-stderr env path="${path_said%%:*}" sh script
		[ "$status" -eq 0 ] && [ "$output" = "${path_said#*:}" ] && [ -z "$stderr" ] ||
			{ echo "${path_said%%:*}: status $status, out '$output', err '$stderr'"; false; }
	done
}

@test "whereto.1: the capture that keeps a target's trailing newlines keeps them" {
	example whereto/whereto.1 3 >script
	printf 'printf %%s "$target" >captured\n' >>script
	for target in $'ends in newlines\n\n' plain $'\n'; do
		rm -f link captured
		ln -s "$target" link
		env link=link sh script
		printf %s "$target" | cmp - captured || { echo "target '$target': captured '$(cat captured)'"; false; }
	done
}
