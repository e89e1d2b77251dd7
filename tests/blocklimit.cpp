// SPDX-License-Identifier: MIT
/*
 * blocklimit: sets a user's disk quota, for the kernel checks (tests/kernel.sh),
 * which run where nothing but busybox is, and busybox cannot.
 *
 *   blocklimit DEVICE UID KIB
 *
 * The user may then hold at most KIB KiB on the file system of DEVICE, which
 * must be mounted with the usrquota option.
 */
#include <sys/quota.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char *argv[])
{
	if (argc != 4) {
		(void)fputs("usage: blocklimit DEVICE UID KIB\n", stderr);
		return 2;
	}
	struct dqblk limit = {};
	limit.dqb_bhardlimit = strtoull(argv[3], nullptr, 10); // in blocks of 1 KiB
	limit.dqb_bsoftlimit = limit.dqb_bhardlimit;
	limit.dqb_valid = QIF_BLIMITS;
	const auto uid = static_cast<int>(strtol(argv[2], nullptr, 10));
	char *const record = reinterpret_cast<char *>(&limit);
	if (quotactl(QCMD(Q_SETQUOTA, USRQUOTA), argv[1], uid, record) != 0) {
		perror("blocklimit: quotactl");
		return 1;
	}
	return 0;
}
