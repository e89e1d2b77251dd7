#!/usr/bin/env bats
# SPDX-License-Identifier: MIT
# whereto through the real kernel: the stored target, byte for byte, or
# status 1 with nothing on either stream.

load common

setup() {
	export LC_ALL=C # targets are bytes, not text
	make_open_dir
	cd "$OPEN" || return
}

teardown() {
	remove_open_dir
}

# prints_whole TARGET: a link to TARGET prints TARGET and a newline, exactly.
prints_whole() {
	rm -f link
	ln -s -- "$1" link
	whereto link >out 2>err
	printf '%s\n' "$1" | cmp -s - out && [ ! -s err ]
}

repeat() { printf "%${2}s" "" | tr ' ' "$1"; }

@test "stored targets are printed unresolved and byte for byte" {
	for target in . x ../up/there /abs/path dangling/nowhere -n -- " spaced " \
		$'two\nlines' $'ends in newlines\n\n' $'\377\376\200' \
		"$(repeat a 2047)" "$(repeat b 2048)" "$(repeat c 4095)" \
		"$(repeat d 200)/$(repeat e 3894)"; do
		prints_whole "$target" || { echo "target of ${#target} bytes: $(head -c 80 out)"; false; }
	done
	[ "$(wc -c <out)" -eq 4096 ]
}

@test "only the first hop of a chain and the first operand are taken" {
	ln -s final middle
	ln -s middle first
	ln -s self self
	run --separate-stderr whereto first /missing ""
	[ "$status" -eq 0 ] && [ "$output" = middle ] || false
	run --separate-stderr whereto self
	[ "$status" -eq 0 ] && [ "$output" = self ] || false
}

@test "anything but a readable link is status 1 in silence" {
	touch file
	mkdir dir
	ln -s target dir/link
	long=$(repeat x 5000)
	checked() {
		[ "$status" -eq 1 ] && [ -z "$output" ] && [ -z "$stderr" ] ||
			{ echo "operand '$1': status $status, out '$output', err '$stderr'"; false; }
	}
	ln -s dir to_dir # with a final slash, the folder it points to is meant
	for operand in file dir missing file/below "$long" "" to_dir/; do
		run --separate-stderr whereto "$operand"
		checked "$operand"
	done
	run --separate-stderr whereto
	checked "(none)"
	# the link itself is readable, but the folder above it is not searchable
	chmod 0 dir
	run --separate-stderr as_nobody "$WHERETO" "$OPEN/dir/link"
	checked "dir/link"
}

@test "there are no options: -h, --help, -- and - are links like any other" {
	for operand in -h --help -- -; do
		run --separate-stderr whereto "$operand"
		[ "$status" -eq 1 ] && [ -z "$output" ] && [ -z "$stderr" ] ||
			{ echo "'$operand', missing: status $status, out '$output', err '$stderr'"; false; }
		ln -s "target of $operand" "./$operand"
		run --separate-stderr whereto "$operand"
		[ "$status" -eq 0 ] && [ "$output" = "target of $operand" ] && [ -z "$stderr" ] ||
			{ echo "'$operand', a link: status $status, out '$output', err '$stderr'"; false; }
	done
}

@test "nothing is read from the environment: the same bytes under any locale, time zone or POSIXLY_CORRECT" {
	ln -s $'caf\303\251 \342\206\222 \377' link
	same_in_any_environment "$WHERETO" link
	printf '%s\n%s\n' $'caf\303\251 \342\206\222 \377' 0 | cmp - "$OPEN/plain.out"
	same_in_any_environment "$WHERETO" missing
	same_in_any_environment "$WHERETO"
}

@test "random targets of any bytes but NUL print exactly" {
	# links r1..r200, each to a random target of 1 to 4095 bytes; the seed
	# is shown when the case fails, and SEED=N repeats a run
	perl -e 'my $seed = $ENV{SEED} // time ^ $$; srand($seed); print STDERR "seed $seed\n";
	for my $i (1..200) {
		my $t = join "", map { chr(1 + int rand 255) } 1 .. 1 + int rand 4095;
		symlink($t, "r$i") or die "r$i: $!"; print "$t\n";
	}' >expected
	for i in $(seq 200); do whereto "r$i"; done >printed
	cmp expected printed
}

@test "a target that cannot be written is a silent failure; a pipe whose reader has gone kills it" {
	ln -s target link
	write_to_full() { whereto link >/dev/full; }
	write_to_closed() { whereto link >&-; }
	write_to_hungup_tty() { writing_to hungup-tty ${RUN_PREFIX:-} "$WHERETO" link; }
	# SIGPIPE ends it as it ends nearly every program, 141 to the shell; where
	# the caller ignores SIGPIPE the write fails as any other does
	write_to_gone_reader() { writing_to gone-reader ${RUN_PREFIX:-} "$WHERETO" link; }
	write_to_gone_reader_ignored() { writing_to gone-reader-ignored ${RUN_PREFIX:-} "$WHERETO" link; }
	for writer_status in write_to_full:1 write_to_closed:1 write_to_hungup_tty:1 write_to_gone_reader:141 \
		write_to_gone_reader_ignored:1; do
		run --separate-stderr "${writer_status%:*}"
		[ "$status" -eq "${writer_status#*:}" ] && [ -z "$output" ] && [ -z "$stderr" ] ||
			{ echo "${writer_status%:*}: status $status, '$stderr'"; false; }
	done
}

@test "a target served by a file system is taken as served, whole up to 4,095 bytes; an empty or a longer one fails" {
	need_fuse
	mkdir mnt
	long=$(printf 'a%.0s' $(seq 4095))
	for served_status in "served/../target:0" ":1" "$long:0" "${long}b:1"; do
		mount_fixedfs mnt "link=${served_status%:*}"
		run --separate-stderr whereto mnt/link
		unmount_under "$OPEN/mnt"
		want=${served_status%:*}
		[ "${served_status#*:}" = 0 ] || want=
		[ "$status" -eq "${served_status#*:}" ] && [ "$output" = "$want" ] && [ -z "$stderr" ] ||
			{ echo "served '${served_status:0:40}' (${#want} bytes): status $status, out '${output:0:40}'"; false; }
	done
}

@test "a static build needs nothing from the system" {
	need_root
	need_static
	mkdir root
	ln -s ../some/where root/link
	run --separate-stderr alone "$WHERETO" /link
	[ "$status" -eq 0 ] && [ "$output" = ../some/where ] && [ -z "$stderr" ]
}
