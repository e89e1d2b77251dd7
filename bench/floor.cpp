// SPDX-License-Identifier: MIT
// The physical floor of the benchmark: a static program with no C library
// whose entry point only ends the process, so that its cost is the kernel's
// own cost of starting and ending one.
#include <sys/syscall.h>

extern "C" [[noreturn]] void _start()
{
#if defined(__x86_64__)
	asm volatile("syscall" : : "a"(SYS_exit_group), "D"(0) : "rcx", "r11", "memory");
#elif defined(__aarch64__)
	register long nr asm("x8") = SYS_exit_group;
	register long status asm("x0") = 0;
	asm volatile("svc 0" : : "r"(nr), "r"(status) : "memory");
#else
#error "the benchmark's floor knows x86-64 and AArch64 only"
#endif
	__builtin_unreachable();
}
