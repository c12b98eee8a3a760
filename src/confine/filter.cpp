// Writes each program's seccomp filter as a C++ header, at build time, so
// that neither program loads libseccomp or compiles a filter at each start.
//
//   filter OUT.h
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/filter.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
#define SANITIZED 1
#endif

struct call {
	int nr;
	const char *why;
};

// What each program may do once confined; everything else ends it.
static const call zcat_calls[] = {
	{SCMP_SYS(read), "the input; libraries being loaded"},
	{SCMP_SYS(pread64), "libraries being loaded"},
	{SCMP_SYS(write), "the output and the messages"},
	{SCMP_SYS(writev), "the messages"},
	{SCMP_SYS(close), "each operand and library file when done"},
	{SCMP_SYS(fstat), "what an operand is; libraries being loaded"},
	{SCMP_SYS(newfstatat), "the same, as glibc asks it"},
	{SCMP_SYS(statx), "the same, as other libcs ask it"},
	{SCMP_SYS(munmap), "memory given back"},
	{SCMP_SYS(mremap), "memory grown"},
	{SCMP_SYS(brk), "memory"},
	{SCMP_SYS(madvise), "memory given back"},
	{SCMP_SYS(getrandom), "malloc's first use, in the loader"},
	{SCMP_SYS(futex), "locks in the libraries"},
	{SCMP_SYS(poll), "waiting for a non-blocking standard input"},
	{SCMP_SYS(ppoll), "the same, where there is no poll"},
	{SCMP_SYS(rt_sigaction), "signals"},
	{SCMP_SYS(rt_sigprocmask), "signals"},
	{SCMP_SYS(rt_sigreturn), "signals"},
	{SCMP_SYS(exit), "the end"},
	{SCMP_SYS(exit_group), "the end"},
	{SCMP_SYS(sched_getaffinity), "the CPUs a large file's units may be decoded on"},
	{SCMP_SYS(set_robust_list), "a thread's start, in glibc"},
	{SCMP_SYS(rseq), "a thread's start, in glibc"},
	{SCMP_SYS(lseek), "the reading on one thread taking over from the threads"},
};

static const call ztext_calls[] = {
	{SCMP_SYS(read), "the pipe"},
	{SCMP_SYS(wait4), "the zcat's status, in pclose"},
	{SCMP_SYS(close), "the pipe, in pclose"},
	{SCMP_SYS(fstat), "standard output's buffering"},
	{SCMP_SYS(newfstatat), "the same, as glibc asks it"},
	{SCMP_SYS(write), "the answer"},
	{SCMP_SYS(munmap), "memory given back"},
	{SCMP_SYS(brk), "standard output's buffer"},
	{SCMP_SYS(rt_sigaction), "signals"},
	{SCMP_SYS(rt_sigprocmask), "signals"},
	{SCMP_SYS(rt_sigreturn), "signals"},
	{SCMP_SYS(exit), "the end"},
	{SCMP_SYS(exit_group), "the end"},
};

#ifdef SANITIZED
// What AddressSanitizer itself asks for; only those builds allow it. Its
// leak check runs before the filter is installed; ioctl asks whether its
// report may be coloured.
static const call sanitizer_calls[] = {
	{SCMP_SYS(sigaltstack), "sanitizer"}, {SCMP_SYS(sched_yield), "sanitizer"},
	{SCMP_SYS(getpid), "sanitizer"},      {SCMP_SYS(gettid), "sanitizer"},
	{SCMP_SYS(tgkill), "sanitizer"},      {SCMP_SYS(prctl), "sanitizer"},
	{SCMP_SYS(readlink), "sanitizer"},    {SCMP_SYS(lseek), "sanitizer"},
	{SCMP_SYS(ioctl), "sanitizer"},
};
#endif

static bool allow(scmp_filter_ctx ctx, const call *calls, size_t n, FILE *out)
{
	for (size_t i = 0; i < n; i++) {
		char *name = seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, calls[i].nr);
		(void)fprintf(out, "// %s: %s\n", name != nullptr ? name : "?", calls[i].why);
		free(name);
		if (seccomp_rule_add(ctx, SCMP_ACT_ALLOW, calls[i].nr, 0) != 0)
			return false;
	}
	return true;
}

// Memory is never executable, so no code comes but from a file; a call
// that asks otherwise ends the process like any other refused.
static const scmp_arg_cmp no_exec = {2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0};

// A thread, as glibc's pthread_create makes one, and nothing else: fork,
// vfork and every other clone end the process. clone3 is answered ENOSYS,
// as by a kernel without it, since a filter cannot read its flags; glibc
// then calls clone.
static const scmp_datum_t THREAD = CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND |
				   CLONE_THREAD | CLONE_SYSVSEM | CLONE_SETTLS |
				   CLONE_PARENT_SETTID | CLONE_CHILD_CLEARTID;

// Files are opened read-only: no creating, truncating or writing. Memory
// is mapped executable only from a file (a library, by the loader) and
// never writable too; anonymous memory, and mprotect, never executable.
// The loader asks otherwise only for a library with text relocations or an
// executable stack, which no format's library has.
static bool zcat_also(scmp_filter_ctx ctx, FILE *out)
{
	const scmp_datum_t writes = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND;
	const scmp_arg_cmp openat_flags = {2, SCMP_CMP_MASKED_EQ, writes, 0},
			   open_flags = {1, SCMP_CMP_MASKED_EQ, writes, 0},
			   exec_only = {2, SCMP_CMP_MASKED_EQ, PROT_WRITE | PROT_EXEC, PROT_EXEC},
			   file = {3, SCMP_CMP_MASKED_EQ, MAP_ANONYMOUS, 0},
			   thread = {0, SCMP_CMP_EQ, THREAD, 0};
	(void)fprintf(
		out, "// openat, open: read-only, operands and libraries\n"
		     "// mmap: memory, never executable; libraries, executable not writable\n"
		     "// mprotect: libraries' relocations made read-only, a thread's stack guard,\n"
		     "//   never executable\n"
		     "// clone: a thread only, with glibc's flags; clone3: ENOSYS\n");
	return seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(openat), 1, openat_flags) == 0 &&
	       seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(open), 1, open_flags) == 0 &&
	       seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(mmap), 1, no_exec) == 0 &&
	       seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(mmap), 2, exec_only, file) == 0 &&
	       seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(mprotect), 1, no_exec) == 0 &&
	       seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1, thread) == 0 &&
	       seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) == 0;
}

// stdio asks whether standard output is a terminal, to pick its buffering,
// and maps its buffer; nothing is ever mapped executable.
static bool ztext_also(scmp_filter_ctx ctx, FILE *out)
{
	const scmp_arg_cmp request = {1, SCMP_CMP_EQ, TCGETS, 0};
	(void)fprintf(
		out,
		"// ioctl: TCGETS only\n// mmap: standard output's buffer, never executable\n");
	return seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(ioctl), 1, request) == 0 &&
	       seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(mmap), 1, no_exec) == 0;
}

// Writes the filter as the array `name`; false on a failure.
static bool emit(FILE *out, const char *name, const call *calls, size_t n,
		 bool (*also)(scmp_filter_ctx, FILE *))
{
	scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_KILL_PROCESS);
	(void)fprintf(out, "\n// %s allows:\n", name);
	// A call by another architecture's numbers ends the whole process too,
	// not only the thread that made it.
	if (ctx == nullptr ||
	    seccomp_attr_set(ctx, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS) != 0 ||
	    !allow(ctx, calls, n, out) || !also(ctx, out))
		return false;
#ifdef SANITIZED
	if (!allow(ctx, sanitizer_calls, sizeof sanitizer_calls / sizeof *sanitizer_calls, out))
		return false;
#endif
	char tmpl[] = "/tmp/filter.XXXXXX";
	int fd = mkstemp(tmpl);
	if (fd < 0)
		return false;
	unlink(tmpl);
	bool ok = seccomp_export_bpf(ctx, fd) == 0 && lseek(fd, 0, SEEK_SET) == 0;
	seccomp_release(ctx);
	(void)fprintf(out, "alignas(8) static const unsigned char %s[] = {", name);
	// On a new filter the kernel tries every system call number, some 900,
	// to cache the ones always allowed: 40 to 100 us here, more than such a
	// cache saves a process that lives a few milliseconds. It gives up on an
	// instruction that loads neither the number nor the architecture, so
	// the filter starts with one that changes nothing (X is not used).
	const sock_filter first = BPF_STMT(BPF_LDX | BPF_IMM, 0);
	unsigned char buf[4096];
	memcpy(buf, &first, sizeof first);
	ssize_t got = sizeof first;
	size_t total = 0;
	do
		for (ssize_t i = 0; i < got; i++, total++)
			(void)fprintf(out, "%s0x%02x,", total % 12 == 0 ? "\n\t" : " ", buf[i]);
	while (ok && (got = read(fd, buf, sizeof buf)) > 0);
	(void)fprintf(out, "\n};\n");
	close(fd);
	return ok && total > sizeof first;
}

int main(int argc, char *argv[])
{
	if (argc != 2)
		return 2;
	FILE *out = fopen(argv[1], "w");
	if (out == nullptr)
		return 1;
	(void)fprintf(out, "// Made by filter.cpp at build time.\n");
	bool ok = emit(out, "zcat_filter", zcat_calls, sizeof zcat_calls / sizeof *zcat_calls,
		       zcat_also) &&
		  emit(out, "ztext_filter", ztext_calls, sizeof ztext_calls / sizeof *ztext_calls,
		       ztext_also);
	if (fclose(out) != 0 || !ok) {
		(void)fprintf(stderr, "filter: %s\n", strerror(errno));
		unlink(argv[1]);
		return 1;
	}
	return 0;
}
