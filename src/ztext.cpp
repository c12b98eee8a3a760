// ztext: tell whether the content of a compressed file is plain text.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "census.h"

#ifdef ZTEXT_SECCOMP
#include "confine.h"
#include "filters.h"
#endif

// A verdict is its own exit status.
constexpr int EXIT_TROUBLE = 2, EXIT_USAGE = 255;

// Linux names no file with a longer path.
constexpr size_t PATH_LIMIT = 4095;

// exec, so that no shell waits between us and the decompressor; --, so that
// a path starting with - is never an option.
static const char prefix[] = "exec zcat -- '";

// Not every zcat reads a - after -- as standard input; with no operand all do.
static const char from_stdin[] = "exec zcat";

// Room for the longest path even when each byte is a quote, written as '\''.
static char str[sizeof prefix - 1 + 4 * PATH_LIMIT + sizeof "'"];

// One read of the pipe; larger reads and a larger pipe measured no faster.
// Page-aligned: the kernel's copy into a buffer half a cache line off took
// 2 % longer on 128 MiB.
alignas(4096) static unsigned char buf[1 << 16];

// Forms the command in str with the path as one single-quoted word.
static bool form_command(const char *path)
{
	if (strnlen(path, PATH_LIMIT + 1) > PATH_LIMIT)
		return false;
	if (strcmp(path, "-") == 0) {
		memcpy(str, from_stdin, sizeof from_stdin);
		return true;
	}

	size_t n = sizeof prefix - 1;
	memcpy(str, prefix, n);
	for (const char *s = path; *s != '\0'; s++) {
		if (*s == '\'') {
			memcpy(str + n, "'\\''", 4);
			n += 4;
		} else
			str[n++] = *s;
	}
	str[n++] = '\'';
	str[n] = '\0';
	return true;
}

// Feeds every byte of the stream to c; false if a read failed.
static bool read_all(FILE *fp, byte_census *c)
{
	int fd = fileno(fp);

	for (;;) {
		ssize_t got = read(fd, buf, sizeof buf);
		if (got > 0)
			census_add_block(c, buf, (size_t)got);
		else if (got == 0)
			return true;
		else if (errno != EINTR)
			return false;
	}
}

// Only exit 0 vouches for the whole content: gzip's exit 2 also covers a
// damaged member after the first and a zip entry left unread.
static bool decompressed(int status)
{
	return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// An answer that never reached standard output is no answer.
static int answer(verdict v)
{
	if (puts(v == TEXTFILE ? "TEXTFILE" : "NONTEXT") == EOF || fflush(stdout) == EOF)
		return EXIT_TROUBLE;
	return v;
}

int main(int argc, char *argv[])
{
	if (argc < 2)
		return EXIT_USAGE;
	// The empty path names no file, yet gzip's zcat would judge one named .gz.
	if (*argv[1] == '\0' || !form_command(argv[1]))
		return EXIT_TROUBLE;

	// An inherited SIG_IGN would let the child be reaped before pclose.
	(void)signal(SIGCHLD, SIG_DFL);

	// The path is one quoted word in str, so the shell runs nothing of it.
	FILE *fp = popen(str, "r"); // NOLINT(cert-env33-c)
	if (fp == nullptr)
		return EXIT_TROUBLE;
#ifdef ZTEXT_SECCOMP
	// From here on it only reads the pipe, waits and answers. Where the
	// kernel cannot confine it, the zcat says so.
	(void)confine(ztext_filter, sizeof ztext_filter);
#endif

	byte_census c = {};
	bool ok = read_all(fp, &c);
	int status = pclose(fp);
	if (!ok || !decompressed(status))
		return EXIT_TROUBLE;
	return answer(census_verdict(&c));
}
