// SPDX-License-Identifier: MIT
/*
 * whereto: print the target stored in a symbolic link, unresolved.
 * Every failure is told by status 1 alone: nothing is written to either stream.
 */
#include <unistd.h>

#include <limits.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char *argv[])
{
	/*
	 * The call may fill PATH_MAX bytes, so the last byte always stays zero.
	 * Linux stores targets of at most PATH_MAX - 1 bytes: a call that fills
	 * all PATH_MAX may have cut a longer target, which is never printed.
	 */
	char target[PATH_MAX + 1];

	if (argc < 2)
		return 1;
	memset(target, 0, sizeof target);
	const ssize_t n = readlink(argv[1], target, PATH_MAX);
	if (n <= 0 || n >= PATH_MAX)
		return 1;
	if (puts(target) == EOF || fflush(stdout) != 0 || ferror(stdout))
		return 1;
	return 0;
}
