// Writes a seeded benchmark corpus to standard output:
//   corpus log|prose|random BYTES [SEED]
// log compresses about 6:1 with gzip, prose about 2:1, random not at all.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

static std::mt19937_64 rng;

static unsigned pick(unsigned n) { return static_cast<unsigned>(rng() % n); }

static std::string log_line()
{
	static const char *levels[] = {"INFO", "INFO", "INFO", "DEBUG", "WARN", "ERROR"};
	static const char *paths[] = {"/api/v1/items/", "/api/v1/users/", "/static/img/",
				      "/login?next=/cart/"};
	static const int statuses[] = {200, 200, 200, 304, 404, 500};
	static unsigned long ms = 0;
	char line[256];
	ms += pick(40);
	(void)snprintf(
		line, sizeof line,
		"2026-12-08 %02lu:%02lu:%02lu.%03lu host%02u app[%u]: %s request id=%08x user=u%u "
		"path=%s%u status=%d bytes=%u ms=%u\n",
		ms / 3600000 % 24, ms / 60000 % 60, ms / 1000 % 60, ms % 1000, pick(16),
		4000 + pick(8), levels[pick(6)], static_cast<unsigned>(rng()) & 0xfff,
		1000 + pick(200), paths[pick(4)], pick(1000), statuses[pick(6)], pick(20000),
		pick(300));
	return line;
}

static std::string prose_line()
{
	static std::vector<std::string> words;
	if (words.empty())
		for (int i = 0; i < 200000; i++) {
			std::string w;
			for (unsigned len = 2 + pick(9); len > 0; len--)
				w += static_cast<char>('a' + pick(26));
			words.push_back(w);
		}
	std::string line;
	while (line.size() < 70) {
		// Roughly Zipf: short ranks far more often than long ones.
		double u = std::uniform_real_distribution<double>(0, 1)(rng);
		size_t rank = static_cast<size_t>(std::pow(words.size(), u)) - 1;
		line += words[rank];
		line += pick(12) == 0 ? ", " : " ";
	}
	line.back() = '\n';
	return line;
}

// cppcheck-suppress constParameter ; main's own signature
int main(int argc, char *argv[])
{
	if (argc < 3) {
		(void)fputs("usage: corpus log|prose|random BYTES [SEED]\n", stderr);
		return 2;
	}
	size_t want = strtoull(argv[2], nullptr, 10);
	rng.seed(argc > 3 ? strtoull(argv[3], nullptr, 10) : 1);
	std::string buf;
	while (want > 0) {
		buf.clear();
		while (buf.size() < (1 << 16)) {
			if (strcmp(argv[1], "log") == 0)
				buf += log_line();
			else if (strcmp(argv[1], "prose") == 0)
				buf += prose_line();
			else
				for (int i = 0; i < 64; i++)
					buf += static_cast<char>(rng());
		}
		size_t n = buf.size() < want ? buf.size() : want;
		if (fwrite(buf.data(), 1, n, stdout) != n)
			return 1;
		want -= n;
	}
	return 0;
}
