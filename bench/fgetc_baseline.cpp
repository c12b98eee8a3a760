// The plain design that ztext is measured against: one fgetc per byte and
// a branch per class, on the same command.
#include <cstdio>

#include "census.h"

// cppcheck-suppress constParameter ; main's own signature
int main(int argc, char *argv[])
{
	static char str[8192];
	if (argc < 2 || snprintf(str, sizeof str, "exec zcat -- '%s'", argv[1]) >= (int)sizeof str)
		return 255;
	FILE *fp = popen(str, "r"); // NOLINT(cert-env33-c): the command is the point
	if (fp == nullptr)
		return 2;
	byte_census c = {};
	int ch;
	while ((ch = fgetc(fp)) != EOF) {
		if (ch == ' ' || ch == '\n')
			c.separator_bytes++;
		if (ch > 0x7f)
			c.high_bytes++;
		if (ch == 0)
			c.nul_bytes++;
		c.total_bytes++;
	}
	pclose(fp);
	verdict v = census_verdict(&c);
	puts(v == TEXTFILE ? "TEXTFILE" : "NONTEXT");
	return v;
}
