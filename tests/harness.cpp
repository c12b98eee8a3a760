#include "harness.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

std::string slurp(const std::string &file)
{
	std::ifstream f(file, std::ios::binary);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

void spit(const std::string &file, const std::string &data)
{
	std::ofstream f(file, std::ios::binary | std::ios::trunc);
	f << data;
}

temp_dir::temp_dir()
{
	char tmpl[] = "/tmp/ztext-test.XXXXXX";
	path = mkdtemp(tmpl);
}

temp_dir::~temp_dir()
{
	std::error_code ignored;
	std::filesystem::remove_all(path, ignored);
}

result run(const std::vector<std::string> &args, const how &h)
{
	static temp_dir scratch;
	std::string out = scratch / "out", err = scratch / "err";
	pid_t pid = fork();
	if (pid == 0) {
		std::vector<char *> argv;
		argv.reserve(args.size() + 1);
		for (const std::string &a : args)
			argv.push_back(const_cast<char *>(a.c_str()));
		argv.push_back(nullptr);
		bool closed = h.stdout_to != nullptr && *h.stdout_to == '\0';
		int in = open(h.in.empty() ? "/dev/null" : h.in.c_str(), O_RDONLY);
		int o = closed ? 1
			       : open(h.stdout_to == nullptr ? out.c_str() : h.stdout_to,
				      O_WRONLY | O_CREAT | O_TRUNC, 0600);
		int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		if (in < 0 || o < 0 || e < 0 || dup2(in, 0) < 0 || dup2(e, 2) < 0 ||
		    (closed ? close(1) : dup2(o, 1)) < 0)
			_exit(120);
		// Only the program's own descriptors, not this process's nor ctest's.
		(void)close_range(3, ~0U, 0);
		if (!h.dir.empty() && chdir(h.dir.c_str()) != 0)
			_exit(121);
		if (h.path != nullptr)
			setenv("PATH", h.path, 1);
		if (h.ignore_sigchld)
			(void)signal(SIGCHLD, SIG_IGN);
		execvp(argv[0], argv.data());
		_exit(122);
	}
	int status = 0;
	if (waitpid(pid, &status, 0) != pid)
		return {-1, "", ""};
	return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
		h.stdout_to == nullptr ? slurp(out) : "", slurp(err)};
}

std::string lines(int n, const std::string &words)
{
	std::string s;
	for (int i = 0; i < n; i++)
		s += words + " " + std::to_string(i) + "\n";
	return s;
}

std::string gzip(const std::string &content)
{
	static temp_dir scratch;
	spit(scratch / "raw", content);
	result r = run({"gzip", "-n", "-c", scratch / "raw"});
	EXPECT_EQ(r.status, 0);
	return r.out;
}

std::string zip(const std::vector<std::pair<std::string, std::string>> &entries,
		const std::string &extra, const std::string &comment, const std::string &cextra,
		const std::string &ccomment)
{
	std::string local, central;
	for (const auto &[name, gz] : entries) {
		std::string deflated = gz.substr(10, gz.size() - 18);
		// Version 2.0, no flags, deflate, no time: then CRC, sizes, name length.
		std::string fields =
			le(20, 2) + le(0, 2) + le(8, 2) + le(0, 4) + gz.substr(gz.size() - 8, 4) +
			le(static_cast<uint32_t>(deflated.size()), 4) + gz.substr(gz.size() - 4) +
			le(static_cast<uint32_t>(name.size()), 2);
		central += le(0x02014b50, 4) + le(20, 2);
		central += fields;
		central += le(cextra.size(), 2) + le(ccomment.size(), 2) + std::string(8, '\0');
		central += le(static_cast<uint32_t>(local.size()), 4);
		central.append(name).append(cextra).append(ccomment);
		local += le(0x04034b50, 4);
		local += fields;
		local += le(extra.size(), 2);
		local += name;
		local += extra;
		local += deflated;
	}
	auto n = static_cast<uint32_t>(entries.size());
	return local + central + le(0x06054b50, 4) + le(0, 4) + le(n, 2) + le(n, 2) +
	       le(static_cast<uint32_t>(central.size()), 4) +
	       le(static_cast<uint32_t>(local.size()), 4) + le(comment.size(), 2) + comment;
}
