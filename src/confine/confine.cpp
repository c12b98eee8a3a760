#include "confine.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
#include <sanitizer/lsan_interface.h>
#define LEAK_CHECK_NOW __lsan_do_leak_check()
#else
#define LEAK_CHECK_NOW
#endif

bool confine(const unsigned char *filter, size_t n)
{
	sock_fprog prog = {static_cast<unsigned short>(n / sizeof(sock_filter)),
			   reinterpret_cast<sock_filter *>(const_cast<unsigned char *>(filter))};
	// The leak check at exit would need a tracer thread and ptrace.
	LEAK_CHECK_NOW;
	// Without this, only root could install a filter.
	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
		return false;
	// A filter would also turn on the kernel's guard against speculative
	// store bypass, which cost 6 % on a large stream; the filter is about
	// calls, not speculation. Kernels before 4.17 know no such flag.
	if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_SPEC_ALLOW, &prog) ==
	    0)
		return true;
	return errno == EINVAL && syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) == 0;
}

// Landlock by its system calls, which glibc does not wrap: the ruleset, and
// why a rule was not added for want of a descriptor, or 0. Together, as
// data: alone in the zeroed data a flag may take a page of its own, one
// more in every run's peak memory.
static struct {
	int ruleset, lacking;
} landlock = {-1, 0};

bool reads_begin()
{
	// The leak check reads /proc/self/maps; later calls of it do nothing.
	LEAK_CHECK_NOW;
	// Every right over files that the kernel knows, by number, as older
	// headers lack the later ones: 13 in the first version, then refer (2),
	// truncate (3) and ioctl on devices (5). The seccomp filter refuses all
	// that an older kernel's Landlock does not. Its version is asked only
	// where the newest are refused.
	landlock.lacking = 0;
	landlock_ruleset_attr attr = {};
	attr.handled_access_fs = (1ULL << 16) - 1;
	landlock.ruleset =
		static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0));
	if (landlock.ruleset >= 0 || errno != EINVAL)
		return landlock.ruleset >= 0;
	long abi =
		syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
	if (abi < 1)
		return false;
	int rights = abi < 2 ? 13 : abi < 3 ? 14 : 15;
	attr.handled_access_fs = (1ULL << rights) - 1;
	landlock.ruleset =
		static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0));
	return landlock.ruleset >= 0;
}

bool reads_allow(const char *path, bool folder)
{
	int fd = open(path, O_PATH | O_CLOEXEC);
	if (fd < 0 && (errno == EMFILE || errno == ENFILE))
		landlock.lacking = errno;
	if (fd < 0)
		return false;
	struct stat sb;
	landlock_path_beneath_attr rule = {LANDLOCK_ACCESS_FS_READ_FILE, fd};
	bool ok = folder || (fstat(fd, &sb) == 0 && !S_ISDIR(sb.st_mode));
	if (!ok)
		errno = EISDIR;
	ok = ok && syscall(SYS_landlock_add_rule, landlock.ruleset, LANDLOCK_RULE_PATH_BENEATH,
			   &rule, 0) == 0;
	int e = errno;
	close(fd);
	errno = e;
	return ok;
}

bool reads_end()
{
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
	// AddressSanitizer reads the process's own map to describe what it finds.
	(void)reads_allow("/proc/self/maps", false);
#endif
	// A path left out would be unreadable, and its library or file said
	// to be missing.
	bool ok = landlock.lacking == 0 && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
		  syscall(SYS_landlock_restrict_self, landlock.ruleset, 0) == 0;
	int e = landlock.lacking != 0 ? landlock.lacking : errno;
	close(landlock.ruleset);
	landlock.ruleset = -1;
	errno = e;
	return ok;
}
