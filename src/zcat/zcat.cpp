// ztext's zcat: every format is decoded here, from the descriptor opened
// for it, so that no answer rests on content not all read and checked.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <initializer_list>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io.h"
#include "limits.h"

#ifdef ZTEXT_SECCOMP
#include "confine.h"
#include "filters.h"
#endif

static const char usage[] = "usage: zcat [--] [file ...]\n";

static const unit *const units[] = {&gzip_unit, &zip_unit, &xz_unit,  &zstd_unit, &bzip2_unit,
				    &lzip_unit, &lz4_unit, &lzw_unit, &lzma_unit};

// Names tried, as gzip does, when NAME itself does not exist.
static const char *const suffixes[] = {".gz", ".z", "-z", ".Z"};
// None is tried when NAME ends in one of these, in any case: gzip's.
static const char *const known[] = {".gz", ".z", ".taz", ".tgz", "-gz", "-z", "_z"};

// NAME and a suffix.
static char other[PATH_MAX + 4];

// The input, by its first bytes.
int zcat_input()
{
	const unsigned char *p;
	size_t n = peek(MAGIC_MAX, &p);
	// Skippable frames lead zstd's and lz4's frames only.
	bool framed = skippable(p, n);
	if (framed) {
		int s = skip_frames();
		if (s != GZ_OK)
			return s;
		n = peek(MAGIC_MAX, &p);
		if (n == 0)
			return input_end();
	}
	if (n < 2)
		return cut_short();
	for (const unit *u : units)
		if (starts(*u, p, n) && (!framed || u->skippable)) {
			int s = parallel(*u);
			return s >= 0 ? s : decode(*u);
		}
	if (p[0] == 0x1f && p[1] == 0xa0)
		// Its decoder takes the end of its input for zeros.
		return complain("LZH data carry no check -- not read", GZ_WARNING);
	if (p[0] == 0x1f && p[1] == 0x1e)
		// gzip reads on after packed data, so LZH could follow unchecked.
		return complain("packed data -- not read", GZ_WARNING);
	return complain("not in gzip format", GZ_ERROR);
}

static bool has_suffix(const char *name)
{
	size_t n = strlen(name);
	for (const char *s : known)
		if (n > strlen(s) && strcasecmp(name + n - strlen(s), s) == 0)
			return true;
	return false;
}

// Whether Landlock confines what the zcat reads.
static bool reads_confined;

// A folder that Landlock does not let the zcat open.
static const int FOLDER = -2;

// The descriptor, -1, or FOLDER.
static int open_one(const char *path)
{
	int fd = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
	struct stat sb;
	if (fd < 0 && errno == EACCES && reads_confined && stat(path, &sb) == 0 &&
	    S_ISDIR(sb.st_mode))
		return FOLDER;
	return fd;
}

// Opens NAME as gzip would, or else says why not; -1 then, or FOLDER.
static int open_operand(const char **name)
{
	int fd = open_one(*name);
	if (fd == FOLDER)
		return FOLDER;
	if (fd >= 0 || errno != ENOENT || **name == '\0' || has_suffix(*name)) {
		if (fd < 0)
			(void)fprintf(stderr, "zcat: %s: %s\n", *name, strerror(errno));
		return fd;
	}
	for (const char *s : suffixes) {
		if (snprintf(other, sizeof other, "%s%s", *name, s) >= (int)sizeof other) {
			errno = ENAMETOOLONG;
			break;
		}
		fd = open_one(other);
		if (fd >= 0 || fd == FOLDER) {
			*name = other;
			return fd;
		}
		if (errno != ENOENT)
			break;
	}
	int e = errno;
	if (e == ENOENT)
		(void)snprintf(other, sizeof other, "%s%s", *name, suffixes[0]);
	(void)fprintf(stderr, "zcat: %s: %s\n", e == ENOENT ? other : *name, strerror(e));
	return -1;
}

// The operands after the one being read, and the "--" among them, if any.
static char *const *later, *const *later_end, *const *dashdash_arg;

#ifdef ZTEXT_SECCOMP
// Whether the rule for another of the folders covers paths[i] already, as
// one for /usr/lib does /usr/lib/x86_64-linux-gnu: a folder of its own in
// it, not a link, which could lead out. A rule a folder costs about a
// microsecond a run.
static bool beneath_other(const Dl_serpath *paths, unsigned n, unsigned i)
{
	const char *p = paths[i].dls_name;
	for (unsigned j = 0; j < n; j++) {
		const char *d = paths[j].dls_name;
		size_t k = strlen(d);
		struct stat sb;
		if (j != i && d[0] == '/' && strncmp(p, d, k) == 0 && p[k] == '/' &&
		    strchr(p + k + 1, '/') == nullptr && p[k + 1] != '\0' && lstat(p, &sb) == 0 &&
		    S_ISDIR(sb.st_mode))
			return true;
	}
	return false;
}

// The folders where the loader looks for the formats' libraries, as it
// says for the program itself (LD_LIBRARY_PATH's, the system's), and its
// cache; where it cannot say, the system's.
static void allow_libraries()
{
	alignas(Dl_serinfo) static unsigned char buf[8192];
	auto *si = reinterpret_cast<Dl_serinfo *>(buf);
	// Where the header declares the paths an array of none.
	const auto *paths =
		reinterpret_cast<const Dl_serpath *>(buf + offsetof(Dl_serinfo, dls_serpath));
	void *self = dlopen(nullptr, RTLD_LAZY);
	if (self != nullptr && dlinfo(self, RTLD_DI_SERINFOSIZE, si) == 0 &&
	    si->dls_size <= sizeof buf && dlinfo(self, RTLD_DI_SERINFO, si) == 0) {
		for (unsigned i = 0; i < si->dls_cnt; i++)
			// An empty entry in LD_LIBRARY_PATH is the current folder.
			if (paths[i].dls_name[0] == '/' && !beneath_other(paths, si->dls_cnt, i))
				(void)reads_allow(paths[i].dls_name, true);
	} else {
		for (const char *d : {"/lib", "/usr/lib", "/lib64", "/usr/lib64"})
			(void)reads_allow(d, true);
	}
	(void)reads_allow("/etc/ld.so.cache", true);
}

// Each later operand by its name, and by the names with a suffix that
// open_operand would try; a folder is not, as that would let every file
// beneath it be read (open_operand still finds it a folder).
static void allow_later_operands()
{
	char name[PATH_MAX + 4];
	for (char *const *op = later; op < later_end; op++) {
		if (op == dashdash_arg || strcmp(*op, "-") == 0 || reads_allow(*op, false) ||
		    errno != ENOENT || has_suffix(*op))
			continue;
		for (const char *s : suffixes)
			if (snprintf(name, sizeof name, "%s%s", *op, s) < (int)sizeof name)
				(void)reads_allow(name, false);
	}
}
#endif

// From the first input on, the process may only read its input, the
// later operands and the formats' libraries, and only read, write, open
// files read-only, map memory never both writable and executable, and load
// a library: a decoder that hostile data take over can do nothing else.
// Before any library is loaded, since loading runs its code.
static void confine_once()
{
#ifdef ZTEXT_SECCOMP
	static bool done;
	if (done)
		return;
	done = true;
	bool reads = reads_begin();
	if (reads) {
		allow_libraries();
		allow_later_operands();
		reads = reads_end();
	}
	reads_confined = reads;
	if (!reads)
		(void)fprintf(stderr, "zcat: reads not confined: %s\n", strerror(errno));
	if (!confine(zcat_filter, sizeof zcat_filter))
		(void)fprintf(stderr, "zcat: not confined: %s\n", strerror(errno));
#endif
}

static int zcat_operand(const char *name)
{
	if (strcmp(name, "-") == 0) {
		confine_once();
		input_fd(STDIN_FILENO, "stdin");
		return zcat_input();
	}
	int fd = open_operand(&name);
	if (fd < 0 && fd != FOLDER)
		return GZ_ERROR;
	confine_once();
	struct stat sb;
	int status;
	bool stated = fd != FOLDER && fstat(fd, &sb) == 0;
	if (fd == FOLDER || (stated && S_ISDIR(sb.st_mode))) {
		(void)fprintf(stderr, "zcat: %s is a directory -- ignored\n", name);
		status = GZ_WARNING;
	} else {
		input_fd(fd, name, stated && S_ISREG(sb.st_mode) ? (long long)sb.st_size : -1);
		status = zcat_input();
	}
	if (fd >= 0)
		close(fd);
	return status;
}

// The descriptor that NAME names, as a process substitution does
// (/dev/fd/63, /proc/self/fd/12), or else ~0U.
static unsigned named_fd(const char *name)
{
	for (const char *dir : {"/dev/fd/", "/proc/self/fd/"}) {
		size_t n = strlen(dir);
		if (strncmp(name, dir, n) != 0 || name[n] < '0' || name[n] > '9')
			continue;
		char *end;
		unsigned long fd = strtoul(name + n, &end, 10);
		if (*end == '\0' && fd < ~0U)
			return static_cast<unsigned>(fd);
	}
	return ~0U;
}

// Only standard input, output and error, and the descriptors the operands
// name, are the zcat's to use: any other that its caller left open (ztext
// f.xz 3>>log) is closed before any input is read. Kernels before 5.9 know
// no close_range.
static void close_inherited(int argc, char *argv[])
{
	for (unsigned from = 3; from != 0;) {
		unsigned kept = ~0U;
		for (int i = 1; i < argc; i++) {
			unsigned fd = named_fd(argv[i]);
			if (fd >= from && fd < kept)
				kept = fd;
		}
		if (kept > from && close_range(from, kept - 1, 0) != 0)
			for (unsigned fd = from; fd < kept && fd < 1024; fd++)
				(void)close(static_cast<int>(fd));
		from = kept + 1;
	}
}

// The zcat reads no environment variable; a decoder that hostile data take
// over finds none of them in its memory. The loader took its copy of
// LD_LIBRARY_PATH when the process started, and the sanitizers their
// options (AddressSanitizer keeps a copy of /proc/self/environ as it was).
static void clear_environment()
{
	for (char **e = environ; *e != nullptr; e++) {
		memset(*e, 0, strlen(*e));
		*e = nullptr;
	}
}

// Whether the operand may be a file that threads decode: a regular file
// larger than the input's buffer, or one not found as named.
static bool may_be_cut(const char *name)
{
	struct stat st;
	int r = strcmp(name, "-") == 0 ? fstat(STDIN_FILENO, &st) : stat(name, &st);
	return r != 0 || (S_ISREG(st.st_mode) && (size_t)st.st_size > IN_BUF);
}

int main(int argc, char *argv[])
{
	close_inherited(argc, argv);
	clear_environment();
	// ztext took 4 % to 30 % less time on bench/run's corpora through a
	// 1 MiB pipe than through the default one.
	(void)fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);
	// Options are refused before any operand is read, as gzip parses them all first.
	int dashdash = argc;
	for (int i = 1; i < argc && dashdash == argc; i++) {
		if (strcmp(argv[i], "--") == 0)
			dashdash = i;
		else if (argv[i][0] == '-' && argv[i][1] != '\0') {
			(void)fputs(usage, stderr);
			return GZ_ERROR;
		}
	}
	// The confinement forbids the files that say what the process may use.
	// Their cgroups' limits, which cost a small file's run some 3 %, are read
	// only where an operand may be large enough for threads.
	bool none = argc - 1 - (dashdash < argc ? 1 : 0) == 0, large = false;
	for (int i = none ? 0 : 1; i < (none ? 1 : argc) && !large; i++)
		large = i != dashdash && may_be_cut(none ? "-" : argv[i]);
	limits_read(large);
	if (none)
		return zcat_operand("-");
	later_end = argv + argc;
	dashdash_arg = dashdash < argc ? argv + dashdash : nullptr;

	int status = GZ_OK;
	for (int i = 1; i < argc; i++) {
		if (i == dashdash)
			continue;
		later = argv + i + 1;
		int s = zcat_operand(argv[i]);
		if (s == GZ_ERROR || status == GZ_ERROR)
			status = GZ_ERROR;
		else if (s == GZ_WARNING)
			status = GZ_WARNING;
	}
	return status;
}
