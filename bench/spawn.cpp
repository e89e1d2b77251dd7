// SPDX-License-Identifier: MIT
/*
 * spawn: the benchmark's process starter.
 *
 *   spawn COUNT PROGRAM [ARG...]   start PROGRAM COUNT times, one after another,
 *                                  and print the mean wall time per call in ns
 *   spawn peak PROGRAM [ARG...]    run PROGRAM once and print its peak resident
 *                                  set in KiB
 *
 * PROGRAM's standard output goes to /dev/null. The peak is read from
 * /proc/PID/status while the finished program is held at its exit: the
 * rusage figure of wait4 would also count the starter's own pages, which the
 * kernel charges to a child that replaces itself with exec.
 */
#include <fcntl.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

static int timed(long count, char *argv[]);
static int peak(char *argv[]);

int main(int argc, char *argv[])
{
	if (argc < 3) {
		(void)fputs("usage: spawn COUNT|peak PROGRAM [ARG...]\n", stderr);
		return 2;
	}
	if (strcmp(argv[1], "peak") == 0)
		return peak(&argv[2]);
	return timed(strtol(argv[1], nullptr, 10), &argv[2]);
}

static int timed(long count, char *argv[])
{
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);

	timespec start{}, end{};
	clock_gettime(CLOCK_MONOTONIC, &start);
	for (long i = 0; i < count; i++) {
		pid_t pid = 0;
		int status = 0;
		if (posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) != 0 ||
			waitpid(pid, &status, 0) != pid) {
			perror(argv[0]);
			return 2;
		}
		if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
			(void)fprintf(stderr, "%s: the call failed\n", argv[0]);
			return 2;
		}
	}
	clock_gettime(CLOCK_MONOTONIC, &end);
	const int64_t ns =
		(end.tv_sec - start.tv_sec) * INT64_C(1000000000) + (end.tv_nsec - start.tv_nsec);
	printf("%" PRId64 "\n", ns / (count > 0 ? count : 1));
	return 0;
}

static int peak(char *argv[])
{
	const pid_t pid = fork();
	if (pid == 0) {
		const int null = open("/dev/null", O_WRONLY);
		dup2(null, 1);
		ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
		execv(argv[0], argv);
		_exit(127);
	}
	int status = 0;
	waitpid(pid, &status, 0); // stopped at exec
	ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT);
	ptrace(PTRACE_CONT, pid, nullptr, nullptr);
	waitpid(pid, &status, 0); // stopped at exit, its memory still mapped

	char path[64];
	char line[256];
	long kib = -1;
	(void)snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
	FILE *f = fopen(path, "r");
	while (f != nullptr && kib < 0 && fgets(line, sizeof line, f) != nullptr) {
		if (strncmp(line, "VmHWM:", 6) == 0)
			kib = strtol(line + 6, nullptr, 10);
	}
	if (f != nullptr)
		(void)fclose(f);
	ptrace(PTRACE_CONT, pid, nullptr, nullptr);
	waitpid(pid, &status, 0);
	if (kib < 0) {
		(void)fprintf(stderr, "%s: no peak resident set found\n", argv[0]);
		return 2;
	}
	printf("%ld\n", kib);
	return 0;
}
