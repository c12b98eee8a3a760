#include "limits.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

// A group's value in one hierarchy, 0 for none; `v1` says which form its files take.
using value_at = uint64_t (*)(char *dir, size_t n, bool v1);

// What the reading takes: /proc/self/cgroup's text, a group's folder, a
// hierarchy's mount, the affinity mask (room for 8192 CPUs, the most
// Debian's kernels are built for). Mapped while it reads and given back
// after: static, its pages would add to every large file's peak memory.
struct texts {
	char self[8192]; // /proc/self/cgroup: "ID:CONTROLLERS:PATH" a line, "0::PATH" for v2
	char dir[PATH_MAX];
	char base[PATH_MAX];
	cpu_set_t mask[8];
};
static texts *scratch;

static bool map_scratch()
{
	void *p = mmap(nullptr, sizeof(texts), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
		       -1, 0);
	scratch = p != MAP_FAILED ? static_cast<texts *>(p) : nullptr;
	return scratch != nullptr;
}

static void unmap_scratch()
{
	(void)munmap(scratch, sizeof(texts));
	scratch = nullptr;
}

// The file at path, NUL-terminated in buf; false where it cannot be read.
// One read takes all of these files that fits.
static bool slurp(const char *path, char *buf, size_t cap)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	ssize_t got;
	do
		got = read(fd, buf, cap - 1);
	while (got < 0 && errno == EINTR);
	close(fd);
	buf[got > 0 ? got : 0] = '\0';
	return got > 0;
}

// The file `name` in the folder dir[0..n), which has room for it.
static bool file(char *dir, size_t n, const char *name, char *buf, size_t cap)
{
	dir[n] = '/';
	memcpy(dir + n + 1, name, strlen(name) + 1);
	bool ok = slurp(dir, buf, cap);
	dir[n] = '\0';
	return ok;
}

// The decimal number at *s, which it moves past; false for any other word
// ("max", "-1"). One too large for 64 bits is as good as none.
static bool number(const char **s, uint64_t *v)
{
	const char *p = *s;
	uint64_t n = 0;
	for (; *p >= '0' && *p <= '9'; p++) {
		if (n > (UINT64_MAX - 9) / 10)
			return false;
		n = n * 10 + (uint64_t)(*p - '0');
	}
	if (p == *s)
		return false;
	*s = p;
	*v = n;
	return true;
}

static uint64_t cpus_at(char *dir, size_t n, bool v1)
{
	char buf[64];
	const char *s = buf;
	uint64_t quota, period;
	if (!file(dir, n, v1 ? "cpu.cfs_quota_us" : "cpu.max", buf, sizeof buf) ||
	    !number(&s, &quota))
		return 0;
	if (v1) {
		if (!file(dir, n, "cpu.cfs_period_us", buf, sizeof buf))
			return 0;
		s = buf;
	} else if (*s++ != ' ') {
		return 0;
	}
	if (!number(&s, &period) || period == 0)
		return 0;
	// A part of a CPU still runs a thread.
	return quota <= period ? 1 : quota / period + (quota % period != 0);
}

static uint64_t memory_at(char *dir, size_t n, bool v1)
{
	char buf[64];
	const char *s = buf;
	uint64_t limit;
	if (!file(dir, n, v1 ? "memory.limit_in_bytes" : "memory.max", buf, sizeof buf) ||
	    !number(&s, &limit))
		return 0;
	return limit;
}

static uint64_t lower(uint64_t a, uint64_t b) { return a == 0 || (b != 0 && b < a) ? b : a; }

// The lowest value at the group path[0..len) under the mount `base` and at
// its ancestors up to the mount's root: a container's quota is often on the
// root of what it sees, its processes in a group below.
static uint64_t walk(const char *base, size_t b, const char *path, size_t len, value_at at, bool v1)
{
	char *dir = scratch->dir;
	// A group outside the namespace is named by "..": only the root is known.
	for (size_t i = 0; i + 3 <= len; i++)
		if (memcmp(path + i, "/..", 3) == 0)
			len = 0;
	if (b + len + sizeof "/memory.limit_in_bytes" > sizeof scratch->dir)
		return 0; // no room for the longest file name
	memcpy(dir, base, b);
	memcpy(dir + b, path, len);
	size_t n = b + len;
	uint64_t low = 0;
	for (;;) {
		while (n > b && dir[n - 1] == '/')
			n--;
		low = lower(low, at(dir, n, v1));
		if (n == b)
			return low;
		while (n > b && dir[n - 1] != '/')
			n--;
	}
}

// Whether the hierarchy's list of controllers c[0..n) holds `name`.
static bool lists(const char *c, size_t n, const char *name)
{
	size_t len = strlen(name);
	for (const char *end = c + n; c < end;) {
		const char *comma = static_cast<const char *>(memchr(c, ',', (size_t)(end - c)));
		const char *e = comma != nullptr ? comma : end;
		if ((size_t)(e - c) == len && memcmp(c, name, len) == 0)
			return true;
		c = e + 1;
	}
	return false;
}

// root[0..r)/name[0..n) in base[PATH_MAX], NUL-terminated: its length, or 0
// where it does not fit. Not by snprintf, whose code alone would add some
// pages to every large file's peak memory.
static size_t join(char *base, const char *root, size_t r, const char *name, size_t n)
{
	if (r + 1 + n >= PATH_MAX)
		return 0;
	memcpy(base, root, r);
	base[r] = '/';
	memcpy(base + r + 1, name, n);
	base[r + 1 + n] = '\0';
	return r + 1 + n;
}

// The lowest value on the path in /proc/self/cgroup's text in the hierarchy of
// `controller`, mounted at root/<its controllers> or else at
// root/<controller>, or, where none names it, in the unified hierarchy.
static uint64_t lowest(const char *root, const char *controller, value_at at)
{
	char *base = scratch->base;
	size_t r = strlen(root);
	const char *unified = nullptr, *unified_end = nullptr;
	for (const char *line = scratch->self;;) {
		const char *nl = strchr(line, '\n');
		if (nl == nullptr)
			break; // a line cut off by the buffer is not trusted
		const auto *c = static_cast<const char *>(memchr(line, ':', (size_t)(nl - line)));
		const auto *p = c == nullptr ? nullptr
					     : static_cast<const char *>(
						       memchr(c + 1, ':', (size_t)(nl - c - 1)));
		if (p != nullptr && strncmp(line, "0::", 3) == 0) {
			unified = p + 1;
			unified_end = nl;
		} else if (p != nullptr && lists(c + 1, (size_t)(p - c - 1), controller)) {
			// A controller is in one hierarchy only.
			size_t n = join(base, root, r, c + 1, (size_t)(p - c - 1));
			if (n > 0 && access(base, X_OK) != 0)
				n = join(base, root, r, controller, strlen(controller));
			if (n == 0)
				return 0;
			return walk(base, n, p + 1, (size_t)(nl - p - 1), at, true);
		}
		line = nl + 1;
	}
	return unified != nullptr
		       ? walk(root, r, unified, (size_t)(unified_end - unified), at, false)
		       : 0;
}

static unsigned fewer(uint64_t n) { return n < UINT_MAX ? (unsigned)n : UINT_MAX; }

unsigned cgroup_cpus(const char *root, const char *self)
{
	if (!map_scratch())
		return 0;
	unsigned n = slurp(self, scratch->self, sizeof scratch->self)
			     ? fewer(lowest(root, "cpu", cpus_at))
			     : 0;
	unmap_scratch();
	return n;
}

uint64_t cgroup_memory(const char *root, const char *self)
{
	if (!map_scratch())
		return 0;
	uint64_t n = slurp(self, scratch->self, sizeof scratch->self)
			     ? lowest(root, "memory", memory_at)
			     : 0;
	unmap_scratch();
	return n;
}

static unsigned cpus;
static uint64_t memory;
static bool address;

void limits_read(bool cgroups)
{
	unsigned n = 1;
	bool mapped = map_scratch();
	if (mapped && sched_getaffinity(0, sizeof scratch->mask, scratch->mask) == 0)
		n = (unsigned)CPU_COUNT_S(sizeof scratch->mask, scratch->mask);
	// sysinfo() itself, as sysconf() would call it: each page of the
	// library's code that runs adds to a large file's peak memory.
	struct sysinfo si;
	memory = sysinfo(&si) == 0 && si.totalram > 0 ? (uint64_t)si.totalram * si.mem_unit
						      : UINT64_MAX;
	// Read once for both: each file costs a small file's run some microseconds.
	if (mapped && cgroups && slurp("/proc/self/cgroup", scratch->self, sizeof scratch->self)) {
		unsigned quota = n > 1 ? fewer(lowest("/sys/fs/cgroup", "cpu", cpus_at)) : 0;
		if (quota != 0 && quota < n)
			n = quota;
		memory = lower(memory, lowest("/sys/fs/cgroup", "memory", memory_at));
	}
	cpus = n > 0 ? n : 1;
	if (mapped)
		unmap_scratch();
	// Under `ulimit -v` the threads take from the main thread's heap: a heap
	// of a thread's own reserves 64 MiB of address space and keeps it after
	// its decoder is let go, which the ordinary reading may need at a handover.
	struct rlimit as;
	address = getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY;
	if (cgroups && address)
		(void)mallopt(M_ARENA_MAX, 1);
}

unsigned limits_cpus()
{
	if (cpus == 0)
		limits_read();
	return cpus;
}

uint64_t limits_memory()
{
	if (cpus == 0)
		limits_read();
	return memory;
}

bool limits_address()
{
	if (cpus == 0)
		limits_read();
	return address;
}
