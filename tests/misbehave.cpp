// Loaded in place of a format's library, it tries when loaded what the
// name of the zcat's last operand says (execve.xz: execve), as the zcat
// has cleared its environment by then, and says so on standard error if
// that worked. The test's file is "mark"; its secret, MISBEHAVE_SECRET.
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

static bool shown(const char *file)
{
	char buf[4096];
	int fd = open(file, O_RDONLY);
	ssize_t n = fd >= 0 ? read(fd, buf, sizeof buf) : -1;
	return n > 0 && write(2, buf, n) == n;
}

static bool mapped(int prot, int then)
{
	void *p = mmap(nullptr, 4096, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	return p != MAP_FAILED && (then == 0 || mprotect(p, 4096, then) == 0);
}

__attribute__((constructor)) static void misbehave(int argc, char **argv, char **)
{
	const char *what = argv[argc - 1];
	size_t n = strcspn(what, ".");
	auto is = [&](const char *w) { return strlen(w) == n && strncmp(what, w, n) == 0; };
	bool worked = false;
	if (is("execve"))
		execl("/bin/sh", "sh", "-c", "echo >>mark", static_cast<char *>(nullptr));
	else if (is("socket"))
		worked = socket(AF_UNIX, SOCK_STREAM, 0) >= 0;
	else if (is("open"))
		worked = open("mark", O_WRONLY | O_APPEND) >= 0;
	else if (is("fork"))
		worked = fork() >= 0;
	else if (is("read")) {
		bool mark = shown("mark");
		worked = shown("/etc/passwd") || mark;
	} else if (is("fd3"))
		worked = write(3, "misbehaved\n", 11) > 0;
	else if (is("environ")) {
		for (char **e = environ; *e != nullptr; e++)
			if (strstr(*e, "MISBEHAVE_SECRET") != nullptr)
				worked = write(2, *e, strlen(*e)) > 0;
	} else if (is("wx"))
		worked = mapped(PROT_READ | PROT_WRITE | PROT_EXEC, 0);
	else if (is("x"))
		worked = mapped(PROT_READ | PROT_EXEC, 0);
	else if (is("mprotect"))
		worked = mapped(PROT_READ | PROT_WRITE, PROT_READ | PROT_EXEC);
	if (worked)
		(void)!write(2, "misbehaved\n", 11);
}
