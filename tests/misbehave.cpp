// Loaded in place of a format's library, it tries when loaded what
// MISBEHAVE names, and says so on standard error if that worked.
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

__attribute__((constructor)) static void misbehave()
{
	const char *what = getenv("MISBEHAVE"), *mark = getenv("MISBEHAVE_MARK");
	if (what == nullptr || mark == nullptr)
		return;
	bool worked = false;
	if (strcmp(what, "execve") == 0)
		execl("/bin/sh", "sh", "-c", "touch \"$0\"", mark, static_cast<char *>(nullptr));
	else if (strcmp(what, "socket") == 0)
		worked = socket(AF_UNIX, SOCK_STREAM, 0) >= 0;
	else if (strcmp(what, "open") == 0)
		worked = open(mark, O_WRONLY | O_CREAT, 0600) >= 0;
	else if (strcmp(what, "fork") == 0)
		worked = fork() >= 0;
	if (worked)
		(void)!write(2, "misbehaved\n", 11);
}
