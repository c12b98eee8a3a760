// A zcat that only copies its operand (or standard input) to standard
// output, through a pipe and writes of the sizes ztext's own zcat uses: what
// the pipe and the census cost ztext when decoding costs nothing.
//   zcat [--] [FILE]
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

alignas(4096) static unsigned char buf[1 << 18];

// cppcheck-suppress constParameter ; main's own signature
int main(int argc, char *argv[])
{
	(void)fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);
	int fd = STDIN_FILENO;
	if (argc > 1 && strcmp(argv[argc - 1], "--") != 0) {
		fd = open(argv[argc - 1], O_RDONLY | O_CLOEXEC);
		if (fd < 0)
			return 2;
	}
	for (;;) {
		ssize_t got = read(fd, buf, sizeof buf);
		if (got == 0)
			return 0;
		if (got < 0) {
			if (errno == EINTR)
				continue;
			return 2;
		}
		for (ssize_t put = 0; put < got;) {
			ssize_t n = write(STDOUT_FILENO, buf + put, (size_t)(got - put));
			if (n > 0)
				put += n;
			else if (errno != EINTR)
				return 2;
		}
	}
}
