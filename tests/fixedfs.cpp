// SPDX-License-Identifier: MIT
/*
 * fixedfs: a FUSE file system whose statfs answer is set on its command line,
 * so that roomleft's figures can be checked through the real kernel.
 *
 *   fixedfs -o bsize=N,frsize=N,bavail=N,bfree=N,link=TEXT,error=E,hold MOUNTPOINT
 *
 * It holds an empty root directory, one empty regular file, /file, and one
 * symbolic link, /link, whose target is TEXT (empty by default: a target
 * that symlink(2) refuses to make, but that a file system can serve).
 * With error=E it answers each statfs request with the error number E; with
 * hold it takes each one, says so on standard error, and answers none until
 * it gets SIGUSR1, as a server does that waits on a network gone; then it
 * answers them all, and every one after.
 */
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

struct answer {
	unsigned long bsize = 4096;
	unsigned long frsize = 4096;
	uint64_t bavail = 0;
	uint64_t bfree = 0;
	char *link = nullptr; // set by fuse_opt_parse, which frees what it replaces
	int error = 0;
	int hold = 0;
};

answer given; // read by the callbacks, which take no user data

const char *link_target()
{
	return given.link != nullptr ? given.link : "";
}

const fuse_opt options[] = {
	{"bsize=%lu", offsetof(answer, bsize), 0},
	{"frsize=%lu", offsetof(answer, frsize), 0},
	{"bavail=%" SCNu64, offsetof(answer, bavail), 0},
	{"bfree=%" SCNu64, offsetof(answer, bfree), 0},
	{"link=%s", offsetof(answer, link), 0},
	{"error=%d", offsetof(answer, error), 0},
	{"hold", offsetof(answer, hold), 1},
	FUSE_OPT_END,
};

int getattr(const char *path, struct stat *st, fuse_file_info *)
{
	memset(st, 0, sizeof *st);
	if (strcmp(path, "/") == 0) {
		st->st_mode = S_IFDIR | 0755;
		st->st_nlink = 2;
	} else if (strcmp(path, "/file") == 0) {
		st->st_mode = S_IFREG | 0644;
		st->st_nlink = 1;
	} else if (strcmp(path, "/link") == 0) {
		st->st_mode = S_IFLNK | 0777;
		st->st_nlink = 1;
		st->st_size = static_cast<off_t>(strlen(link_target()));
	} else {
		return -ENOENT;
	}
	return 0;
}

int readlink(const char *path, char *buf, size_t size)
{
	if (strcmp(path, "/link") != 0)
		return -EINVAL;
	(void)snprintf(buf, size, "%s", link_target());
	return 0;
}

// SIGUSR1, blocked in every thread, so that one that holds a request takes it
sigset_t release;
std::atomic<bool> released{false};

int statfs(const char *, struct statvfs *sv)
{
	if (given.hold != 0 && !released) {
		(void)fputs("fixedfs: holding a statfs request\n", stderr);
		// whichever holder takes the signal, the others see it within a tick
		const timespec tick = {0, 100'000'000};
		while (!released) {
			if (sigtimedwait(&release, nullptr, &tick) == SIGUSR1)
				released = true;
		}
	}
	if (given.error != 0)
		return -given.error;
	memset(sv, 0, sizeof *sv);
	sv->f_bsize = given.bsize;
	sv->f_frsize = given.frsize;
	sv->f_blocks = given.bfree > given.bavail ? given.bfree : given.bavail;
	sv->f_bfree = given.bfree;
	sv->f_bavail = given.bavail;
	sv->f_namemax = 255;
	return 0;
}

} // namespace

int main(int argc, char *argv[])
{
	sigemptyset(&release);
	sigaddset(&release, SIGUSR1);
	pthread_sigmask(SIG_BLOCK, &release, nullptr);
	fuse_args args = FUSE_ARGS_INIT(argc, argv);
	if (fuse_opt_parse(&args, &given, options, nullptr) != 0)
		return 1;
	fuse_operations ops{};
	ops.getattr = getattr;
	ops.readlink = readlink;
	ops.statfs = statfs;
	const int status = fuse_main(args.argc, args.argv, &ops, nullptr);
	fuse_opt_free_args(&args);
	return status;
}
