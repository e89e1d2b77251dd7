// SPDX-License-Identifier: MIT
/*
 * roomleft: print the whole mebibytes available to unprivileged users on the
 * file system that holds a path.
 */
#include <sys/vfs.h>

#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

static void usage();

int main(int argc, char *argv[])
{
	constexpr uint64_t mib = UINT64_C(1) << 20;
	struct statfs64 sb = {};

	if (argc != 2) {
		usage();
		exit(1);
	}
	if (statfs64(argv[1], &sb) != 0) {
		perror("statfs64");
		exit(1);
	}

	/*
	 * Blocks are counted in the fundamental block size; f_bsize is only the
	 * preferred transfer size and may be far larger (1 MiB on virtiofs). The
	 * kernel's word is read unsigned at its own width (a signed int in some
	 * C libraries' 32-bit records), so every build sees what a 64-bit one does.
	 */
	const auto word = sb.f_frsize != 0 ? sb.f_frsize : sb.f_bsize;
	const uint64_t unit = sizeof word == sizeof(uint32_t) ? static_cast<uint32_t>(word)
							      : static_cast<uint64_t>(word);
	const uint64_t avail = sb.f_bavail;

	/*
	 * floor(avail * unit / mib) without a product that can wrap: split both
	 * factors at 2^20, so that
	 *   avail * unit / mib = avail * (unit / mib)
	 *                      + (avail / mib) * (unit % mib)
	 *                      + (avail % mib) * (unit % mib) / mib
	 * where the last product is below 2^40. A figure past INT64_MAX cannot be
	 * real space and is printed as INT64_MAX rather than wrapped.
	 */
	uint64_t whole = 0;
	uint64_t part = 0;
	const bool huge =
		__builtin_mul_overflow(avail, unit / mib, &whole) ||
		__builtin_mul_overflow(avail / mib, unit % mib, &part) ||
		__builtin_add_overflow(whole, part, &whole) ||
		__builtin_add_overflow(whole, (avail % mib) * (unit % mib) / mib, &whole) ||
		whole > INT64_MAX;
	const int64_t figure = huge ? INT64_MAX : static_cast<int64_t>(whole);

	printf("%" PRId64 "\n", figure);
	if (fflush(stdout) != 0 || ferror(stdout)) {
		perror("stdout");
		exit(1);
	}
	return 0;
}

static void usage()
{
	puts("roomleft <directory>");
}
