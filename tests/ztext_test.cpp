// The built binary, run on files made here with the system's gzip.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

const std::string text = lines(20);
const std::string zeros(400, '\0');

class Ztext : public ::testing::Test {
protected:
	temp_dir dir;
	result ztext(std::vector<std::string> args, how h = {})
	{
		args.insert(args.begin(), ZTEXT_BIN);
		if (h.dir.empty())
			h.dir = dir.path;
		return run(args, h);
	}
	void put(const std::string &name, const std::string &data) { spit(dir / name, data); }
};

TEST_F(Ztext, Answers)
{
	std::string text_gz = gzip(text), zeros_gz = gzip(zeros);
	std::string truncated = gzip(lines(2000));
	truncated.resize(truncated.size() / 2);
	// gzip takes a member that lost its first byte for trailing garbage.
	std::string damaged = text_gz + zeros_gz.substr(1);
	// Made by bytes: gzip reads the first entry of a zip and warns of the rest.
	std::string two = zip({{"a.txt", text_gz}, {"b.bin", zeros_gz}});
	std::string bad_crc = text_gz;
	bad_crc[bad_crc.size() - 8] ^= 1;
	mkdir((dir / "dir.gz").c_str(), 0700);
	put(".gz", text_gz);
	put("text.gz", text_gz);
	put("zeros.gz", zeros_gz);

	const struct {
		const char *what{};
		std::string data; // the file x.gz, unless empty
		std::vector<std::string> args;
		int status{};
		bool quiet{}; // nothing on standard error either
		const char *stdout_to = nullptr;
	} cases[] = {
		{"text", text_gz, {"x.gz"}, 0, true},
		{"twelve zero bytes", gzip(std::string(12, '\0')), {"x.gz"}, 1, true},
		{"empty content", gzip(""), {"x.gz"}, 0, true},
		{"members text, zeros", text_gz + zeros_gz, {"x.gz"}, 1, true},
		{"members text, text", text_gz + text_gz, {"x.gz"}, 0, true},
		// A census that kept only the last read would see text alone.
		{"zeros, then text, longer than one read",
		 gzip(std::string(1 << 16, '\0') + lines(2200)),
		 {"x.gz"},
		 1,
		 true},
		// gzip's warnings exit 2: the content may not all have been judged.
		{"text then garbage", text_gz + "garbage!", {"x.gz"}, 2, false},
		{"zeros then garbage", zeros_gz + "garbage!", {"x.gz"}, 2, false},
		{"empty then garbage", gzip("") + "garbage!", {"x.gz"}, 2, false},
		{"text member then a damaged member", damaged, {"x.gz"}, 2, false},
		{"zip, text entry then binary entry", two, {"x.gz"}, 2, false},
		{"standard output full", text_gz, {"x.gz"}, 2, true, "/dev/full"},
		{"standard output closed", zeros_gz, {"x.gz"}, 2, true, ""},
		{"truncated", truncated, {"x.gz"}, 2, false},
		{"bad checksum", bad_crc, {"x.gz"}, 2, false},
		{"not compressed", text, {"x.gz"}, 2, false},
		{"missing", "", {"missing.gz"}, 2, false},
		{"directory", "", {"dir.gz"}, 2, false},
		{"empty path, with a file .gz there", "", {""}, 2, true},
		{"no operand", "", {}, 255, true},
		{"extra operands, text first", "", {"text.gz", "zeros.gz"}, 0, true},
		{"extra operands, zeros first", "", {"zeros.gz", "text.gz", "x"}, 1, true},
	};

	// The same table through ztext's own zcat, where it is built.
	std::vector<std::string> paths = {getenv("PATH")};
#ifdef ZCAT_DIR
	paths.push_back(std::string(ZCAT_DIR) + ":" + paths[0]);
#endif
	for (const std::string &path : paths) {
		for (const auto &t : cases) {
			SCOPED_TRACE(std::string(t.what) + " with PATH=" + path);
			if (!t.data.empty())
				put("x.gz", t.data);
			how h;
			h.stdout_to = t.stdout_to;
			h.path = path.c_str();
			result r = ztext(t.args, h);
			EXPECT_EQ(r.status, t.status);
			EXPECT_EQ(r.out, t.status == 0   ? "TEXTFILE\n"
					 : t.status == 1 ? "NONTEXT\n"
							 : "");
			if (t.quiet)
				EXPECT_EQ(r.err, "");
			else
				EXPECT_NE(r.err, ""); // the decompressor's own word
		}
	}
}

TEST_F(Ztext, DashReadsStandardInput)
{
	put("text.gz", gzip(text));
	put("zeros.gz", gzip(zeros));
	how h;
	h.in = dir / "text.gz";
	EXPECT_EQ(ztext({"-"}, h).out, "TEXTFILE\n");
	h.in = dir / "zeros.gz";
	result r = ztext({"-"}, h);
	EXPECT_EQ(r.out, "NONTEXT\n");
	EXPECT_EQ(r.status, 1);
}

TEST_F(Ztext, NoDecompressorOnPath)
{
	put("text.gz", gzip(text));
	how h;
	h.path = "/nonexistent";
	result r = ztext({"text.gz"}, h);
	EXPECT_EQ(r.status, 2);
	EXPECT_EQ(r.out, "");
}

// Text first, then the decompressor fails: no answer from part of it.
TEST_F(Ztext, DecompressorFailsAfterText)
{
	temp_dir bin;
	std::string path_env = bin.path + ":/usr/bin:/bin";
	how h;
	h.path = path_env.c_str();
	const struct {
		const char *what, *script;
	} rows[] = {
		{"killed by a signal", "kill -KILL $$"},
		{"exit 1", "exit 1"},
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.what);
		spit(bin / "zcat", "#!/bin/sh\nprintf '%s\\n' plain words on lines\n" +
					   std::string(r.script) + "\n");
		chmod((bin / "zcat").c_str(), 0755);
		result res = ztext({"x.gz"}, h);
		EXPECT_EQ(res.status, 2);
		EXPECT_EQ(res.out, "");
	}
}

TEST_F(Ztext, InheritedIgnoredSigchld)
{
	put("zeros.gz", gzip(zeros));
	how h;
	h.ignore_sigchld = true;
	result r = ztext({"zeros.gz"}, h);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "NONTEXT\n");
}

const std::vector<std::string> hostile_names = {
	"a b.gz",
	"it's.gz",
	"say \"hi\".gz",
	"a;touch canary",
	"$(touch canary)",
	"`touch canary`",
	"x'; touch canary; echo '",
	"'",
	"''",
	"\\'",
	"*",
	"?",
	"new\nline",
	"-v",
	"--help",
	"-",
	"--",
	"\xff\xfe\x80.gz",
	"~",
	"a|touch canary",
	"a&touch canary&",
	"a>canary",
	"<canary",
	"!!",
	"%s%n",
	"\t",
};

// A decompressor that records its argument count and arguments, one NUL after
// each.
void fake_zcat(const temp_dir &bin, const std::string &record)
{
	std::string script = "#!/bin/sh\nprintf '%s\\0' $# \"$@\" > '" + record + "'\necho fake\n";
	spit(bin / "zcat", script);
	chmod((bin / "zcat").c_str(), 0755);
}

TEST_F(Ztext, PathReachesDecompressorAsOneWord)
{
	temp_dir bin;
	fake_zcat(bin, bin / "args");
	std::string path_env = bin.path + ":/usr/bin:/bin";
	how h;
	h.path = path_env.c_str();

	std::vector<std::string> paths = hostile_names;
	paths.push_back(std::string(4095, '\''));
	std::string mixed;
	while (mixed.size() < 4095)
		mixed += "a' b\"$(x)`;\\";
	paths.push_back(mixed.substr(0, 4095));

	for (const std::string &p : paths) {
		SCOPED_TRACE(p.substr(0, 40));
		result r = ztext({p}, h);
		EXPECT_EQ(r.out, "TEXTFILE\n");
		// The lone - goes as no operand, which every zcat reads as standard input.
		EXPECT_EQ(slurp(bin / "args"), p == "-" ? std::string("0") + '\0'
							: std::string("2\0--\0", 5) + p + '\0');
	}
	EXPECT_FALSE(std::ifstream(dir / "canary").good());
}

TEST_F(Ztext, HostileNamesJudgedBothWays)
{
	std::string text_gz = gzip(text), zeros_gz = gzip(zeros);
	for (const std::string &name : hostile_names) {
		if (name == "-" || name == "~")
			continue; // standard input, and a name the test keeps for itself
		SCOPED_TRACE(name);
		put(name, text_gz);
		result r = ztext({name});
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out, "TEXTFILE\n");
		put(name, zeros_gz);
		r = ztext({name});
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.out, "NONTEXT\n");
		unlink((dir / name).c_str());
	}
	EXPECT_FALSE(std::ifstream(dir / "canary").good());
}

TEST_F(Ztext, LongPaths)
{
	// About 1000 bytes: within what the decompressor itself takes.
	std::string path;
	for (int i = 0; i < 4; i++) {
		path += std::string(240, static_cast<char>('d' + i)) + "/";
		mkdir((dir / path).c_str(), 0700);
	}
	path += "it's here.gz";
	put(path, gzip(zeros));
	result r = ztext({path});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "NONTEXT\n");

	// No path this long names a file: nothing runs and nothing is said.
	for (size_t len : {4096, 4097, 100000}) {
		r = ztext({std::string(len, '\'')});
		EXPECT_EQ(r.status, 2);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, "");
	}
}

} // namespace

// Counters that wrapped at 2 GiB would call this stream binary.
TEST(Slow, ThreeGiBOfTextLines)
{
	temp_dir dir;
	std::string member = gzip(lines(20000)); // about 1 MiB of text
	const size_t raw = lines(20000).size();
	const size_t copies = (size_t{3} << 30) / raw + 1;
	{
		std::ofstream f(dir / "big.gz", std::ios::binary);
		for (size_t i = 0; i < copies; i++)
			f << member;
	}
	result r = run({ZTEXT_BIN, dir / "big.gz"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "TEXTFILE\n");
	EXPECT_GT(copies * raw, size_t{3} << 30);
}
