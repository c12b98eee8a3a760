// Runs programs and makes files for the end-to-end tests.
#ifndef ZTEXT_HARNESS_H
#define ZTEXT_HARNESS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct result {
	int status{}; // exit status, or -1 if killed
	std::string out, err;
};

struct how {
	std::string dir;            // working directory
	std::string in;             // file for standard input; /dev/null if empty
	const char *path = nullptr; // PATH for the child, if set
	bool ignore_sigchld = false;
	const char *stdout_to = nullptr; // a file in place of the capture; "" closes it
};

std::string slurp(const std::string &file);
void spit(const std::string &file, const std::string &data);

class temp_dir {
public:
	std::string path;
	temp_dir();
	~temp_dir();
	temp_dir(const temp_dir &) = delete;
	temp_dir &operator=(const temp_dir &) = delete;
	std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// Runs args[0], found on PATH, with standard output and error captured.
result run(const std::vector<std::string> &args, const how &h = {});

// n numbered lines of plain text.
std::string lines(int n, const std::string &words = "the quick brown fox jumps over the lazy dog");

// The content compressed by the system's gzip.
std::string gzip(const std::string &content);

// v as `bytes` bytes, least significant first, as gzip and zip store numbers.
inline std::string le(uint64_t v, int bytes)
{
	std::string s;
	for (int i = 0; i < bytes; i++, v >>= 8)
		s += static_cast<char>(v & 0xff);
	return s;
}

// A zip of (name, gzip member) entries with a central directory; each local header has `extra`,
// each central record `cextra` and `ccomment`, and the end record `comment`.
std::string zip(const std::vector<std::pair<std::string, std::string>> &entries,
		const std::string &extra = "", const std::string &comment = "",
		const std::string &cextra = "", const std::string &ccomment = "");

#endif
