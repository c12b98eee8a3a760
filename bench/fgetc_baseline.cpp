// The plain design that ztext is measured against: one fgetc per byte and
// a branch per class, on the same command.
#include <cstdio>

int main(int argc, char *argv[])
{
	static char str[8192];
	if (argc < 2 || snprintf(str, sizeof str, "exec zcat -- '%s'", argv[1]) >= (int)sizeof str)
		return 255;
	FILE *fp = popen(str, "r"); // NOLINT(cert-env33-c): the command is the point
	if (fp == nullptr)
		return 2;
	long long total = 0, nul = 0, high = 0, sep = 0;
	int ch;
	while ((ch = fgetc(fp)) != EOF) {
		if (ch == ' ' || ch == '\n')
			sep++;
		if (ch > 0x7f)
			high++;
		if (ch == 0)
			nul++;
		total++;
	}
	pclose(fp);
	bool text = nul <= total / 4 + 2 && high <= total / 2 + 2 && sep >= total / 200;
	puts(text ? "TEXTFILE" : "NONTEXT");
	return text ? 0 : 1;
}
