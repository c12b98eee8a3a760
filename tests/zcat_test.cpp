// ztext's zcat against gzip's own on inputs made here: the same status, and
// the same bytes where gzip succeeds, but where gzip answers 0 for content
// that it did not all check.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <initializer_list>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <isa-l/crc.h>

#include "harness.h"
#include "zcat/deflate.h"
#include "zcat/io.h"
#include "zcat/limits.h"

namespace {

uint32_t crc(const std::string &s)
{
	return crc32_gzip_refl(0, reinterpret_cast<const unsigned char *>(s.data()), s.size());
}

constexpr int FHCRC = 0x02, FEXTRA = 0x04, FNAME = 0x08, FCOMMENT = 0x10;

// A member of gzip's deflate data under a header made here.
std::string member(const std::string &content, int flags, const std::string &field = "x",
		   int method = 8)
{
	std::string h = "\x1f\x8b" + le(method, 1) + le(flags, 1) + le(0, 4) + le(0, 1) + le(3, 1);
	if ((flags & FEXTRA) != 0)
		h += le(static_cast<uint32_t>(field.size()), 2) + field;
	if ((flags & FNAME) != 0)
		h += field + '\0';
	if ((flags & FCOMMENT) != 0)
		h += field + '\0';
	if ((flags & FHCRC) != 0)
		h += le(crc(h) & 0xffff, 2);
	return h + gzip(content).substr(10);
}

// One stored block, which gzip writes only for data it cannot shrink.
std::string stored(const std::string &content)
{
	auto n = static_cast<uint32_t>(content.size());
	return member("", 0).substr(0, 10) + '\x01' + le(n, 2) + le(~n, 2) + content +
	       le(crc(content), 4) + le(n, 4);
}

std::string flip(std::string s, size_t at, int bit = 0)
{
	s.at(at) = static_cast<char>(s.at(at) ^ (1 << bit));
	return s;
}

bool have(const std::string &tool)
{
	return run({"sh", "-c", "command -v \"$0\" >/dev/null", tool}).status == 0;
}

// The content compressed by a tool that writes to standard output with -c.
std::string squeeze(const std::string &tool, const std::string &content)
{
	temp_dir d;
	spit(d / "raw", content);
	how h;
	h.in = d / "raw";
	return run({tool, "-c"}, h).out;
}

const std::string text = lines(40), zeros(400, '\0');

class Zcat : public ::testing::Test {
protected:
	temp_dir dir;
	result in_dir(std::vector<std::string> argv, const std::vector<std::string> &args,
		      const std::string &in)
	{
		argv.insert(argv.end(), args.begin(), args.end());
		return run(argv, {dir.path, in});
	}
	result zcat(const std::vector<std::string> &args, const std::string &in = "")
	{
		return in_dir({ZCAT_BIN}, args, in);
	}
	result gzip_cd(const std::vector<std::string> &args, const std::string &in = "")
	{
		return in_dir({"gzip", "-cd"}, args, in);
	}
	void put(const std::string &name, const std::string &data) { spit(dir / name, data); }
	// Decodes data, `chunk` bytes a read, into the file out, standard error
	// silenced: the status, and what it wrote.
	std::pair<int, std::string> unit(const std::string &data, size_t chunk = 1 << 18,
					 const char *out_file = nullptr)
	{
		spit(dir / "x", data);
		int out = open(out_file != nullptr ? out_file : (dir / "out").c_str(),
			       O_WRONLY | O_CREAT | O_TRUNC, 0600);
		int err = dup(2), null = open("/dev/null", O_WRONLY);
		dup2(null, 2);
		input_memory(reinterpret_cast<const unsigned char *>(data.data()), data.size(),
			     chunk, "x");
		output_fd(out);
		int status = zcat_input();
		output_fd(1);
		dup2(err, 2);
		close(err);
		close(null);
		close(out);
		return {status, out_file != nullptr ? "" : slurp(dir / "out")};
	}

	// gzip's answer must be `want` (unless -1); ours is that, or `mine` on purpose.
	static void compare(const result &gz, const result &ours, int want, int mine)
	{
		if (want >= 0) {
			EXPECT_EQ(gz.status, want);
		}
		EXPECT_EQ(ours.status, mine);
		if (mine == 0) {
			if (gz.status == 0) {
				EXPECT_EQ(ours.out, gz.out);
			}
			EXPECT_EQ(ours.err, "");
		} else {
			EXPECT_NE(ours.err, ""); // a word on what went wrong
		}
	}
};

const int same = -1;

TEST_F(Zcat, AnswersAsGzip)
{
	std::string text_gz = gzip(text), zeros_gz = gzip(zeros);
	std::string cut = gzip(lines(3000));
	cut.resize(cut.size() / 2);
	std::string tiny;
	for (int i = 0; i < 1000; i++)
		tiny += stored(std::to_string(i) + "\n");
	std::string old_magic = text_gz;
	old_magic[1] = '\x9e'; // gzip's older magic for the same format
	std::string fixed = gzip("fixed\n");
	ASSERT_EQ(fixed[10] & 6, 2); // a fixed-Huffman block

	// A first entry that ends where gzip's 256 KiB input buffer does.
	std::mt19937 rng(7);
	std::string noise(210000, '\0');
	for (char &c : noise)
		c = static_cast<char>(rng());
	std::string noise_gz = gzip(noise);
	size_t pad = 262144 - 30 - 1 - (noise_gz.size() - 18);
	std::string zip_at_buffer = zip({{"a", noise_gz}, {"b", zeros_gz}}, std::string(pad, '\0'));
	std::string zip1 = zip({{"a", text_gz}}), end0 = le(0x06054b50, 4) + std::string(18, '\0'),
		    locator = le(0x07064b50, 4) + std::string(16, '\0');
	size_t c = zip1.size() - 22 - 47; // the central record; then the end record
	auto set = [](std::string s, size_t at, uint32_t v) { return s.replace(at, 2, le(v, 2)); };
	const std::vector<std::pair<std::string, std::string>> a{{"a", text_gz}};
	auto described = [&](std::string s) { // a data descriptor after the data
		s = set(set(s, 6, 8), c + 8, 8);
		return s.substr(0, c) + le(0x08074b50, 4) + zip1.substr(14, 12) + s.substr(c, 63) +
		       le(c + 16, 4) + le(0, 2);
	};
	ASSERT_EQ(zip_at_buffer.substr(262144, 4), "PK\x03\x04");
	// A stored entry needing version 1.0 on Unix: host 3 in the field's high byte.
	std::string z0 = zip({{"a", stored(text).erase(10, 5)}}), unix0 = z0;
	unix0 = set(set(set(set(z0, 8, 0), z0.size() - 59, 0), 4, 0x30a), z0.size() - 63, 0x30a);

	bool has_compress = have("compress");
	std::string compressed, z_after;
	if (has_compress) {
		compressed = squeeze("compress", text);
		z_after = text_gz + squeeze("compress", zeros);
	}

	const struct {
		const char *what{};
		std::string data; // as the file x, and as standard input
		int want{};       // gzip's status
		int file = same;  // ours, where it differs on purpose
		int in = same;    // ours on standard input, likewise
		bool z = false;   // made by compress
	} rows[] = {
		{"one member", text_gz, 0},
		{"name, comment, extra, header CRC",
		 member(text, FNAME | FCOMMENT | FEXTRA | FHCRC, std::string("ab\x01", 3)), 0},
		{"a long extra field", member(text, FEXTRA, std::string(65000, 'e')), 0},
		{"name alone", member(text, FNAME, "x.txt"), 0},
		{"header CRC alone", member(text, FHCRC), 0},
		{"stored block", stored(text), 0},
		{"fixed-Huffman block", fixed, 0},
		{"a thousand tiny members", tiny, 0},
		{"empty members", gzip("") + text_gz + gzip(""), 0},
		{"old magic on a later member", text_gz + old_magic, 0},
		{"trailing zeros", text_gz + std::string(5000, '\0'), 0},
		{"trailing garbage", text_gz + "garbage", 2},
		{"zeros then garbage", text_gz + std::string(3, '\0') + "x", 2},
		{"trailing 1f", text_gz + "\x1f", 1},
		{"trailing 1f 8b", text_gz + "\x1f\x8b", 1},
		{"a later member lost its first byte", text_gz + zeros_gz.substr(1), 2},
		{"bad CRC", flip(text_gz, text_gz.size() - 8), 1},
		{"bad CRC, later member", zeros_gz + flip(text_gz, text_gz.size() - 8), 1},
		{"bad length", flip(text_gz, text_gz.size() - 4), 1},
		{"bad length, later member", zeros_gz + flip(text_gz, text_gz.size() - 1, 7), 1},
		{"flag 0x20", member(text, 0x20), 1},
		{"flag 0x40", member(text, 0x40), 1},
		{"flag 0x80, later member", text_gz + member(text, 0x80), 1},
		{"unknown method", member(text, 0, "", 7), 1},
		{"wrong header CRC", flip(member(text, FHCRC), 10), 1},
		{"truncated", cut, 1},
		{"header cut short", text_gz.substr(0, 7), 1},
		{"zip, one entry", zip1, 0},
		{"zip, two entries", zip({{"a", text_gz}, {"b", zeros_gz}}), 2},
		{"zip, a comment", zip(a, "", "a comment"), 0},
		{"zip, a data descriptor", described(zip1), 0},
		{"zip, version 4.6 needed", set(zip1, c + 6, 46), 0},
		{"zip, stored, version 1.0 needed on Unix", unix0, 0},
		{"zip, version 2.0 needed on Unix", set(set(zip1, 4, 0x314), c + 6, 0x314), 0},
		{".Z", compressed, 0, same, same, true},
		{"not compressed", text, 1},
		{"empty", "", 1},
		// gzip answers 0 on each of these without having checked it all.
		{"1f a0 00 00 between members", text_gz + std::string("\x1f\xa0\0\0", 4) + zeros_gz,
		 0, 2, 2},
		{".Z data after a member", z_after, 0, 2, 2, true},
		{"zip, second entry at 262144", zip_at_buffer, 0, 2, 2},
		{"LZH", std::string("\x1f\xa0\0\0", 4) + zeros_gz, 0, 2, 2},
		{"old magic, then LZH", old_magic + std::string("\x1f\xa0\0\0", 4) + zeros_gz, 0, 2,
		 2},
		{"packed data", std::string("\x1f\x1e\0\0\0\x10\x05", 7) + text_gz, 1, 2, 2},
		{"zip, a byte after its end record", zip1 + "x", 0, 2, 2},
		{"zip, end record claims a comment byte it lacks",
		 zip1.substr(0, zip1.size() - 2) + le(1, 2), 0, 1, 1},
		{"zip, a zip in its comment", zip(a, "", zip1), 0, 2, 2},
		{"zip, an empty zip's end record as its comment", zip(a, "", end0), 0, 2, 2},
		{"zip, a zip64 locator before its end record", zip(a, "", "", "", locator), 0, 2,
		 2},
		{"zip, zip64 extra field in the central record", zip(a, "", "", le(1, 4)), 0, 2, 2},
		{"zip, an end record in the central extra field", zip(a, "", "", end0), 0, 2, 2},
		{"zip, a local header in the local extra field", zip(a, zip1, ""), 0, 2, 2},
		{"zip, version 4.7 needed", set(zip1, c + 6, 47), 0, 2, 2},
		{"zip, version 4.7 needed in the local header", set(zip1, 4, 47), 0, 2, 2},
		{"zip, UTF-8 flag in the central record alone", set(zip1, c + 8, 0x800), 0, 2, 2},
		{"zip, flag 13 in both records", set(set(zip1, 6, 0x2000), c + 8, 0x2000), 0, 2, 2},
		{"zip, a local header its descriptor belies", described(set(zip1, 18, 1)), 0, 2, 2},
		{"zip, a folder's entry", zip({{"d/", text_gz}}), 0, 2, 2},
		{"zip, a symbolic link's entry", set(set(zip1, c + 4, 0x31e), c + 40, 0xa1ff), 0, 2,
		 2},
		{"zip, a local extra field past its end", zip(a, le(0x5455, 2) + le(9, 2), ""), 0,
		 2, 2},
		{"zip, a byte before the central record",
		 zip1.substr(0, c) + "x" + zip1.substr(c, 63) + le(c + 1, 4) + le(0, 2), 0, 2, 2},
	};

	for (const auto &r : rows) {
		SCOPED_TRACE(r.what);
		if (r.z && !has_compress)
			continue;
		put("x", r.data);
		compare(gzip_cd({"x"}), zcat({"x"}), r.want, r.file == same ? r.want : r.file);
		SCOPED_TRACE("standard input");
		compare(gzip_cd({}, dir / "x"), zcat({}, dir / "x"), r.want,
			r.in == same ? r.want : r.in);
	}
}

TEST_F(Zcat, OperandsAsGzip)
{
	std::string text_gz = gzip(text);
	put("text.gz", text_gz);
	put("zeros.gz", gzip(zeros));
	put("report.gz", text_gz);
	put(".gz", text_gz);
	for (const char *name : {"a.tgz", "a.taz", "a_z", "a-gz", "A.GZ"})
		put(name + std::string(".gz"), text_gz);
	put("lzh-after.gz", text_gz + std::string("\x1f\xa0\0\0", 4) + gzip(zeros));
	put("text", text);
	put("text.xz", squeeze("xz", text));
	put("garbage.xz", squeeze("xz", text) + "garbage");
	put("text.zst", squeeze("zstd", text));
	ASSERT_EQ(symlink("text.zst", (dir / "link.zst").c_str()), 0);
	mkdir((dir / "dir").c_str(), 0700);
	mkdir((dir / "dir2.gz").c_str(), 0700);
	const struct {
		const char *what{};
		std::vector<std::string> args;
		int want{};
		int mine = same;
		const char *shell = "exec \"$@\""; // runs the zcat as "$@"
	} rows[] = {
		{"- after --", {"--", "-"}, 0},
		{"- between files", {"zeros.gz", "-", "text.gz"}, 0},
		{"two operands", {"text.gz", "zeros.gz"}, 0},
		{"a missing operand first", {"missing", "text.gz"}, 1},
		{"NAME, with only NAME.gz there", {"report"}, 0},
		// A name with a suffix of gzip's, in any case, is not tried further.
		{"NAME.tgz", {"a.tgz"}, 1},
		{"NAME.taz", {"a.taz"}, 1},
		{"NAME_z", {"a_z"}, 1},
		{"NAME-gz", {"a-gz"}, 1},
		{"NAME.GZ", {"A.GZ"}, 1},
		{"a directory", {"dir"}, 2},
		{"a directory, then a file", {"dir", "text.gz"}, 2},
		{"a later NAME, with NAME.gz a directory", {"text.gz", "dir2"}, 2},
		{"an option", {"-x", "text.gz"}, 1},
		{"-- twice", {"--", "--"}, 1},
		{"/dev/null", {"/dev/null"}, 1},
		// gzip judges the file .gz.
		{"''", {""}, 0, 1},
		// gzip opens a FIFO non-blocking, so it may find no writer yet.
		{"a FIFO that two files are written to",
		 {},
		 -1,
		 0,
		 "rm -f f && mkfifo f && { cat zeros.gz text.gz >f & } && exec \"$@\" f"},
		{"/dev/stdin", {}, 0, 2, "exec \"$@\" /dev/stdin <lzh-after.gz"},
		{"a process substitution", {}, 0, 2, "\"$@\" <(cat lzh-after.gz)"},
		{"a symbolic link to a .zst file", {"link.zst"}, 1, 0},
		{"pzstd's output", {}, 1, 0, "pzstd -q -c text >p.zst && exec \"$@\" p.zst"},
		{"SIGCHLD ignored", {}, 1, 0, "trap '' CHLD && exec \"$@\" text.xz text.gz"},
		// No descriptor left to confine reads to the library's folder.
		{"ulimit -n 5", {}, 1, 0, "exec 2>&1 && ulimit -n 5 && exec \"$@\" text.xz"},
		{"XZ_OPT set",
		 {},
		 1,
		 2,
		 "XZ_OPT=--single-stream XZ_DEFAULTS=--single-stream exec \"$@\" garbage.xz"},
		{"a non-blocking standard input",
		 {},
		 0,
		 same,
		 "{ cat zeros.gz; sleep 0.2; cat text.gz; } | "
		 "perl -MFcntl -e 'fcntl(STDIN, F_SETFL, O_NONBLOCK) or die; exec @ARGV' \"$@\""},
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.what);
		compare(in_dir({"bash", "-c", r.shell, "-", "gzip", "-cd"}, r.args,
			       dir / "text.gz"),
			in_dir({"bash", "-c", r.shell, "-", ZCAT_BIN}, r.args, dir / "text.gz"),
			r.want, r.mine == same ? r.want : r.mine);
	}
}

// Each format against its own tool where that tool is strict, and against
// the status stated where it is not; and in this process, a byte a read.
TEST_F(Zcat, FormatsAsTheirTools)
{
	const struct {
		const char *tool;   // writes the format with -c
		const char *strict; // its strict reader, or nullptr
		int zeros;          // our status with four zero bytes after
		size_t check;       // a byte of the last check, counted from the end
		const char *other;  // another format's tool, for data after the last stream
		bool alone = false; // one stream, unchecked: nothing may follow it
	} formats[] = {
		{"gzip", "gzip -dc", 0, 8, "xz"},       {"xz", "xz -dc", 0, 25, "gzip"},
		{"zstd", nullptr, 2, 1, "lz4"},         {"bzip2", nullptr, 2, 2, "gzip"},
		{"lzip", "lzip -dc -a", 2, 20, "gzip"}, {"lz4", nullptr, 2, 1, "gzip"},
		{"lzma", "xz -dc", 1, 6, "gzip", true}, // its end marker for a check
	};
	for (const auto &f : formats) {
		SCOPED_TRACE(f.tool);
		std::string a = squeeze(f.tool, text), b = squeeze(f.tool, zeros);
		struct row {
			std::string what;
			std::string data;
			int want{};
			std::string out{}; // with status 0
		};
		std::vector<row> rows = {
			{"whole", a, 0, text},
			{"two streams", a + b, f.alone ? 1 : 0, text + zeros},
			{"trailing zero bytes", a + std::string(4, '\0'), f.zeros, text},
			{"trailing garbage", a + "garbage", f.alone ? 1 : 2},
			{"another format after", a + squeeze(f.other, zeros), f.alone ? 1 : 2},
			{"cut short", a.substr(0, a.size() - 1), 1},
			{"a bit flipped in the data", flip(a, a.size() / 2), 1},
			{"a bit flipped in the check", flip(a, a.size() - f.check), 1},
			{"empty", squeeze(f.tool, ""), 0, ""},
		};
		put("t", text);
		if (f.tool == std::string("lz4")) {
			std::string x = run({"lz4", "-BX", "-c", dir / "t"}).out;
			rows.push_back({"block checksums, the content's flipped",
					flip(x, x.size() - 1), 1});
		}
		for (char l = '0'; l <= '9' && f.alone; l++)
			rows.push_back(
				{{'-', l}, run({"lzma", {'-', l}, "-c", dir / "t"}).out, 0, text});
		if (f.alone)
			rows.push_back(
				{"properties 0",
				 run({"lzma", "--lzma1=lc=0,lp=0,pb=0", "-c", dir / "t"}).out, 0,
				 text});
		// A known size and the end marker, split by every read.
		if (f.alone)
			rows.push_back({"a size",
					a.substr(0, 5) + le(text.size(), 8) + a.substr(13), 0,
					text});
		for (const auto &r : rows) {
			SCOPED_TRACE(r.what);
			put("x", r.data);
			result ours = zcat({"x"});
			EXPECT_EQ(ours.status, r.want);
			if (r.want == 0) {
				EXPECT_EQ(ours.out, r.out);
			}
			// Split by every read, or by a few: the same bytes, before
			// a fault too.
			for (size_t chunk : {1, 100}) {
				auto [status, out] = unit(r.data, chunk);
				EXPECT_EQ(status, ours.status);
				EXPECT_EQ(out, ours.out);
			}
			if (f.strict != nullptr && r.want < 2) {
				// lzip's status for damage is 2. What a tool writes
				// before it fails differs between lzip and plzip.
				result theirs = run({"sh", "-c", std::string(f.strict) + " x"},
						    {dir.path, ""});
				EXPECT_EQ(theirs.status == 0, r.want == 0);
				if (r.want == 0) {
					EXPECT_EQ(theirs.out, ours.out);
				}
			}
		}
	}
}

// A file of many units gives the same bytes, status and message decoded on
// every CPU as on one, whatever is wrong with it.
TEST_F(Zcat, UnitsOnThreadsAsOnOne)
{
	std::mt19937 rng(9);
	std::vector<std::string> parts(24); // each some 40 KiB compressed
	for (std::string &s : parts)
		for (int i = 0; i < 60000; i++)
			s += static_cast<char>(i % 61 == 60 ? '\n' : 'a' + rng() % 26);
	std::string bgzf;
	std::vector<size_t> at; // where each unit starts
	for (const std::string &s : parts) {
		at.push_back(bgzf.size());
		std::string m = member(s, FEXTRA, std::string("BC\x02\0\0\0", 6));
		bgzf += m.replace(16, 2, le(m.size() - 1, 2));
	}
	bgzf += member("", FEXTRA, std::string("BC\x02\0\x1b\0", 6)); // BGZF's end
	size_t mid = at[12];
	// Each format's units, and in the middle one where its first block's
	// header gives the block's size, or the member's trailer its own.
	auto join = [&](const char *tool, std::vector<size_t> &starts) {
		std::string joined;
		for (const std::string &s : parts) {
			starts.push_back(joined.size());
			joined += squeeze(tool, s);
		}
		return joined;
	};
	std::vector<size_t> zat, lat, bat;
	std::string zst = join("zstd", zat), lz = join("lzip", lat), bzs = join("bzip2", bat);
	how h{dir.path, dir / "raw"};
	std::string all;
	for (const std::string &s : parts)
		all += s;
	spit(dir / "raw", all);
	std::string xz = run({"xz", "-c", "--block-size=65536"}, h).out;
	// Blocks larger than a thread reads of them at once, damaged past the
	// first read of the second.
	std::string xz_large = run({"xz", "-c", "--block-size=524288"}, h).out;
	xz += std::string(4, '\0') + xz; // two streams, stream padding between
	// The footer's size of the index, its CRC made right.
	auto forge = [](const std::string &x) {
		std::string f = flip(x, x.size() - 8);
		return f.replace(x.size() - 12, 4, le(crc(f.substr(x.size() - 8, 6)), 4));
	};
	std::string bz = run({"bzip2", "-1", "-c"}, h).out;
	// Each block of bytes from these alone, none twice in a row, names the
	// bytes it uses in 48 bits of its header that are a block's magic.
	const std::string spell = "!#$'*-.13679;<?p\x90\xf0";
	std::string planted;
	for (size_t i = 0, c = 0; i < 250000; i++)
		planted += spell[c = (c + 1 + rng() % (spell.size() - 1)) % spell.size()];
	spit(dir / "raw", planted);
	std::string bz_planted = run({"bzip2", "-1", "-c"}, h).out;
	// Any byte, in runs of 1 to 6 and now and then of up to 300.
	std::string runs;
	while (runs.size() < 1200000)
		runs.append(rng() % 16 == 0 ? 4 + rng() % 297 : 1 + rng() % 6,
			    static_cast<char>(rng()));
	spit(dir / "raw", runs);
	std::string bz_runs = run({"bzip2", "-1", "-c"}, h).out;
	// A block made here, of bytes a to n, whose last codes (4 bits each)
	// spell a block's magic right before the next block; that block's CRC
	// forged so that libbz2 takes the two as the first, the stream's CRC
	// forged to the fold that leaves the second out.
	auto num = [](uint64_t v, int n) {
		std::string b;
		while (n-- > 0)
			b += static_cast<char>('0' + (v >> n & 1));
		return b;
	};
	auto unbits = [](std::string b) {
		b.append((8 - b.size() % 8) % 8, '0');
		std::string s;
		for (size_t i = 0; i < b.size(); i += 8)
			s += static_cast<char>(std::stoi(b.substr(i, 8), nullptr, 2));
		return s;
	};
	auto bits = [&](const std::string &s) {
		std::string b;
		for (char c : s)
			b += num(static_cast<unsigned char>(c), 8);
		return b;
	};
	auto bzcrc = [](const std::string &s) { // bzip2's, not yet inverted
		uint32_t c = ~0u;
		for (char b : s) {
			c ^= static_cast<uint32_t>(static_cast<unsigned char>(b)) << 24;
			for (int k = 0; k < 8; k++)
				c = c << 1 ^ (c >> 31 != 0 ? 0x04c11db7 : 0);
		}
		return c;
	};
	// The stream's blocks, and its CRC.
	const std::string magic = num(0x314159265359, 48), ends = num(0x177245385090, 48);
	auto blocks = [&](const std::string &z) {
		std::string b = bits(z);
		size_t e = b.rfind(ends);
		return std::pair{b.substr(32, e - 32), static_cast<uint32_t>(std::stoul(
							       b.substr(e + 48, 32), nullptr, 2))};
	};
	// Not randomised, row 0, bytes 61 to 6e, two tables, one selector;
	// its codes' nibbles are its symbols, which decode to these bytes.
	uint32_t ca = ~bzcrc("bedcedhiddcccb"), cb = ca ^ std::rotl(ca, 1);
	std::string a = magic + num(ca, 32) + num(0x02007ffe, 57) + "010" + num(1, 15) + "0";
	a += num(4 << 16, 21) + num(4 << 16, 21);
	for (char c : std::string("314159265359"))
		a += num(std::stoul(std::string(1, c), nullptr, 16), 4);
	a += "1111"; // its end
	// The forged bytes undo 32 steps of the CRC back from the one wanted.
	uint32_t w = ~cb;
	for (int k = 0; k < 32; k++)
		w = (w & 1) != 0 ? (w ^ 0x04c11db7) >> 1 | 0x80000000 : w >> 1;
	w ^= bzcrc(text);
	auto [pb, cp] = blocks(bz);
	std::string late = bits("BZh1") + pb + a;
	auto bb = blocks(squeeze("bzip2", text + unbits(num(w, 32)))).first;
	auto bz_late = [&](uint32_t c) { return unbits(late + bb + ends + num(c, 32)); };
	spit(dir / "raw", "a");
	std::string tiny, one_byte = run({"bzip2", "-c"}, h).out;
	while (tiny.size() < 40 * one_byte.size())
		tiny += one_byte;
	// Where the first block header of the frame at o is.
	auto block = [&](const std::string &z, size_t o) {
		auto fhd = static_cast<unsigned char>(z[o + 4]);
		return o + 5 + (fhd >> 5 & 1 ? 0 : 1) + "\0\1\2\4"[fhd & 3] +
		       (fhd >> 6 == 0 ? fhd >> 5 & 1 : 1 << (fhd >> 6));
	};
	// A first unit long enough to be written as it decodes, before its fault.
	std::string zst_long = squeeze("zstd", all), lz_long = squeeze("lzip", all);
	// A frame larger than its window whose header gives its size, and one
	// that says 1 byte.
	spit(dir / "raw", all);
	std::string sized = run({"zstd", "-q", "-c", "--zstd=wlog=17", "raw"}, h).out, less = sized;
	auto fhd = static_cast<unsigned char>(sized[4]);
	int fcs = fhd >> 6 == 0 ? fhd >> 5 & 1 : 1 << (fhd >> 6);
	less.replace(block(sized, 0) - (size_t)fcs, (size_t)fcs, le(1, fcs));
	const struct {
		const char *format;
		std::string data;
		size_t damage; // a byte of a middle unit's data
		std::string forged;
	} formats[] = {
		{"BGZF", bgzf, mid + 100, flip(bgzf, mid + 16)},
		{"zstd", zst, zat[12] + 100, flip(zst, block(zst, zat[12]), 3)},
		{"lzip", lz, lat[12] + 100, flip(lz, lat[13] - 8)},
		{"zstd, a long frame first", zst_long + zst, zst_long.size() * 3 / 4,
		 flip(zst_long + zst, block(zst_long, 0), 3)},
		{"lzip, a long member first", lz_long + lz, lz_long.size() * 3 / 4,
		 flip(lz_long + lz, lz_long.size() - 8)},
		// A piece of its own; on one thread it follows a frame of larger buffers.
		{"zstd, a frame that says less than it holds", zst_long + sized,
		 zst_long.size() + sized.size() / 2, zst_long + less},
		{"xz", xz, xz.size() * 3 / 4, forge(xz)},
		{"xz, large blocks", xz_large, xz_large.size() * 7 / 10, forge(xz_large)},
		// Walked back to the footer through several of the scan's reads.
		{"xz, padding after", xz + std::string(200000, '\0'), xz.size() * 3 / 4,
		 forge(xz) + std::string(200000, '\0')},
		// Two streams, the first's CRC wrong, its blocks' right.
		{"bzip2", bz + bz_planted, bz.size() / 2, flip(bz + bz_planted, bz.size() - 2)},
		{"bzip2, false block magics", bz_planted, bz_planted.size() / 2,
		 flip(bz_planted, bz_planted.size() - 2)},
		{"bzip2, runs", bz_runs, bz_runs.size() / 2, flip(bz_runs, bz_runs.size() - 2)},
		{"bzip2, a stream a block", bzs, bat[12] + 100, flip(bzs, bat[13] - 2)},
		{"bzip2, a magic in a block's last bits", bz_late(std::rotl(cp, 2) ^ ca),
		 bz_runs.size() / 2, bz_late(std::rotl(cp, 1) ^ ca)},
		// Read on one thread from the 16th tiny stream on.
		{"bzip2, tiny streams first", tiny + bz, tiny.size() + bz.size() / 2,
		 flip(tiny + bz, tiny.size() + bz.size() - 2)},
	};
	for (const auto &f : formats) {
		SCOPED_TRACE(f.format);
		const struct {
			const char *what;
			std::string data;
			int want; // or `same` as one thread says
		} rows[] = {
			{"whole", f.data, 0},
			{"a damaged unit", flip(f.data, f.damage), 1},
			{"a forged size", f.forged, same},
			{"trailing garbage", f.data + "garbage", 2},
		};
		for (const auto &r : rows) {
			SCOPED_TRACE(r.what);
			put("x", r.data);
			result threads = zcat({"x"}),
			       one = run({"taskset", "-c", "0", ZCAT_BIN, "x"}, {dir.path, ""});
			EXPECT_EQ(threads.status, one.status);
			EXPECT_TRUE(threads.out == one.out);
			EXPECT_EQ(threads.err, one.err);
			if (std::string(f.format).starts_with("bzip2")) {
				parallel_threads(1); // libbz2's reading, from memory
				auto lib = unit(r.data);
				parallel_threads(0);
				EXPECT_EQ(one.status, lib.first);
				EXPECT_TRUE(one.out == lib.second);
			}
			if (r.want != same) {
				EXPECT_EQ(threads.status, r.want);
			}
			// In this process, where no thread can be started, and where
			// the third piece's buffers are refused.
			for (refusal no : {REFUSE_THREADS, REFUSE_PIECE}) {
				SCOPED_TRACE(no);
				parallel_threads(3, 0, no);
				auto [status, out] = unit(r.data);
				EXPECT_EQ(status, one.status);
				EXPECT_TRUE(out == one.out);
			}
			parallel_threads(0);
		}
	}
}

// Where two threads' pieces would pass the memory the process may use,
// one thread decodes the file, within it. Needs a child cgroup with a
// memory limit: in cgroup v1's memory hierarchy, or v2's with its memory
// controller given to this one's.
TEST_F(Zcat, ThreadsWithinTheMemory)
{
#ifdef __SANITIZE_ADDRESS__
	GTEST_SKIP() << "the address sanitizer's shadow memory is past any such limit";
#endif
	// The own group where the memory controller is: cgroup v1's, or v2's.
	std::string self = slurp("/proc/self/cgroup"), own, max = "/memory.limit_in_bytes";
	size_t v1 = self.find(":memory:/");
	if (v1 != std::string::npos)
		own = "/sys/fs/cgroup/memory" + self.substr(v1 + 8, self.find('\n', v1) - v1 - 8);
	else if (self.rfind("0::/", 0) == 0 && self.find('\n') == self.size() - 1 &&
		 slurp("/sys/fs/cgroup" + self.substr(3, self.size() - 4) +
		       "/cgroup.subtree_control")
				 .find("memory") != std::string::npos)
		own = "/sys/fs/cgroup" + self.substr(3, self.size() - 4), max = "/memory.max";
	std::string group = own + "/ztext-test-" + std::to_string(getpid());
	if (own.empty() || mkdir(group.c_str(), 0755) != 0)
		GTEST_SKIP() << "no cgroup with a memory controller to make a child of here";
	// Blocks of 8 MiB with a dictionary of 1: two in flight take some 18 MiB.
	how h{dir.path, ""};
	result xz = run({"sh", "-c", "seq 1 4000000 | tee raw | xz -1 --block-size=8MiB"}, h);
	put("x", xz.out);
	spit(group + max, "16M");
	if (max == "/memory.max")
		spit(group + "/memory.swap.max", "0");
	result z = run(
		{"sh", "-c", "echo $$ >\"$0\"/cgroup.procs && exec \"$1\" x", group, ZCAT_BIN}, h);
	EXPECT_EQ(rmdir(group.c_str()), 0);
	EXPECT_EQ(z.status, 0);
	EXPECT_TRUE(z.out == slurp(dir / "raw"));
}

// After a handover the ordinary reading has the address space of one
// thread: above the least `ulimit -v` where one thread reads a damaged file
// to its fault, two read it the same.
TEST_F(Zcat, ThreadsLeaveTheAddressSpace)
{
#ifdef __SANITIZE_ADDRESS__
	GTEST_SKIP() << "the address sanitizer's shadow memory is past any such limit";
#endif
	how h{dir.path, ""};
	for (const char *make :
	     {"seq 1 1000000 | bzip2 -c", "seq 1 3000000 | pzstd -q -p 2 -c",
	      // A window larger than a thread's own heap reserves.
	      "seq 1 3000000 | xz -1 --lzma2=preset=1,dict=96MiB --block-size=1MiB"}) {
		SCOPED_TRACE(make);
		std::string z = run({"sh", "-c", make}, h).out;
		put("x", flip(z, z.size() * 4 / 5));
		auto under = [&](int kib, const char *pin) {
			result got = run({"bash", "-c", "ulimit -v $0 && exec $1 \"$2\" x",
					  std::to_string(kib), pin, ZCAT_BIN},
					 h);
			return std::to_string(got.status) + got.err + got.out;
		};
		std::string want = under(1 << 20, "taskset -c 0");
		int lo = 1024, hi = 1 << 18;
		while (hi - lo > 64)
			(under((lo + hi) / 2, "taskset -c 0") == want ? hi : lo) = (lo + hi) / 2;
		// Past the search's step; and room for a heap of a thread's own,
		// without the window beside it.
		for (int more : {256, 40 << 10})
			EXPECT_TRUE(under(hi + more, "") == want)
				<< "one thread from " << hi << " KiB";
	}
}

#ifdef MISBEHAVE_DIR
// A library that hostile data took over can do nothing but read its input
// and libraries and write its output and messages: the zcat dies of SIGSYS
// at its first other call, or what it tries is refused and the zcat finds
// the stand-in without xz's functions (1); ztext answers 2.
TEST_F(Zcat, ConfinedAgainstAMisbehavingLibrary)
{
	std::string xz = squeeze("xz", text), path = std::string(ZCAT_DIR) + ":" + getenv("PATH");
	std::string env = std::string("LD_LIBRARY_PATH=") + MISBEHAVE_DIR + " MISBEHAVE_SECRET=1 ";
	const struct {
		const char *what;
		int status;
	} rows[] = {{"execve", 159}, {"socket", 159},  {"open", 159},  {"fork", 159},
		    {"read", 1},     {"fd3", 1},       {"environ", 1}, {"wx", 159},
		    {"x", 159},      {"mprotect", 159}};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.what);
		std::string file = std::string(r.what) + ".xz";
		put(file, xz);
		put("mark", "secret\n");
		result z = run({"sh", "-c", env + "\"$0\" \"$1\" 3>>mark; echo $?", ZCAT_BIN, file},
			       {dir.path, ""});
		EXPECT_EQ(z.out, std::to_string(r.status) + "\n"); // 159: 128 + SIGSYS
		EXPECT_EQ(z.err.find("misbehaved"), std::string::npos);
		how h = {dir.path, ""};
		h.path = path.c_str();
		result t =
			run({"sh", "-c", env + "exec \"$0\" \"$1\" 3>>mark", ZTEXT_BIN, file}, h);
		EXPECT_EQ(t.status, 2);
		EXPECT_EQ(slurp(dir / "mark"), "secret\n");
	}
}
#endif

// The dispatch and the units in this process, the input fed from memory.
class Gunzip : public Zcat {
protected:
	// Three members with different headers.
	std::string three = member(lines(3, "first"), FNAME, "first.txt") +
			    member(lines(2, "second"), FEXTRA | FHCRC | FCOMMENT, "a comment") +
			    stored(lines(2, "third"));

	void against_gzip(const std::string &data, size_t chunk = 1 << 18)
	{
		auto [status, out] = unit(data, chunk);
		result gz = run({"gzip", "-cd", dir / "x"});
		ASSERT_EQ(status, gz.status);
		if (status == 0) {
			ASSERT_EQ(out, gz.out);
		}
	}
};

TEST_F(Gunzip, EveryTruncation)
{
	for (size_t n = 0; n < three.size(); n++) {
		SCOPED_TRACE(n);
		// A byte a read: every part must pick up where it stopped.
		against_gzip(three.substr(0, n), 1);
	}
}

TEST_F(Gunzip, RandomBitFlips)
{
	std::mt19937 rng(12);
	for (int i = 0; i < 400; i++) {
		size_t at = rng() % three.size();
		int bit = static_cast<int>(rng() % 8);
		SCOPED_TRACE(std::to_string(at) + " bit " + std::to_string(bit));
		against_gzip(flip(three, at, bit), 1 + i % 13);
	}
}

// ISA-L may have taken the first bytes of a trailer into its bit buffer
// before the read that brings the rest.
TEST_F(Gunzip, TrailerAcrossReads)
{
	std::mt19937 rng(3);
	std::string letters(340000, '\n');
	for (char &c : letters)
		if (rng() % 8 != 0)
			c = static_cast<char>('a' + rng() % 26);
	// The first read takes 256 KiB; the first trailer starts near its end.
	size_t bare = member(letters, FEXTRA, "").size();
	ASSERT_LT(bare, 262144u - 24);
	ASSERT_GT(bare, 262144u - 65535);
	std::string second = member(lines(2), 0);
	for (size_t d = 0; d < 24; d++) {
		SCOPED_TRACE(d);
		std::string pad(262144 - 16 + d - (bare - 8), 'p');
		against_gzip(member(letters, FEXTRA, pad) + second);
	}
}

// The tables against ISA-L, from every alignment, and gzip_crc through
// its switch from the one to the other.
TEST(Crc, TablesAsIsal)
{
	std::mt19937 rng(5);
	std::vector<unsigned char> b(200000);
	for (unsigned char &c : b)
		c = static_cast<unsigned char>(rng());
	for (size_t at = 0; at < 8; at++)
		for (size_t n = 0; n < 80; n++)
			ASSERT_EQ(gzip_crc_tables(7, &b[at], n), crc32_gzip_refl(7, &b[at], n))
				<< at << " " << n;
	uint32_t c = 0;
	for (size_t at = 0, n = 1; at < b.size(); at += n, n = n * 3 % 40000 + 1)
		c = gzip_crc(c, &b[at], std::min(n, b.size() - at));
	EXPECT_EQ(c, crc32_gzip_refl(0, b.data(), b.size()));
}

// What the files of a process's cgroups say, laid out in a folder: "self"
// as /proc/self/cgroup, the groups' folders beside it as the mounts. Each
// file is "NAME TEXT", a '|' after each.
TEST(Limits, AsTheCgroupFilesSay)
{
	const struct {
		const char *files;
		unsigned cpus;
		uint64_t memory;
	} rows[] = {
		{"", 0, 0},
		{"self 0::/a|a/cpu.max max 100000|a/memory.max max|", 0, 0},
		{"self 0::/a|a/cpu.max 50000 100000|", 1, 0},
		{"self 0::/a/b|a/b/cpu.max 150000 100000|a/b/memory.max 5000|", 2, 5000},
		{"self 0::/a/b|a/b/cpu.max 400000 100000|a/cpu.max 300000 100000|"
		 "a/b/memory.max 5000|memory.max 4096|",
		 3, 4096},
		{"self 5:cpu,cpuacct:/a\n4:memory:/a\n0::/|cpu,cpuacct/a/cpu.cfs_quota_us 250000|"
		 "cpu,cpuacct/a/cpu.cfs_period_us 100000|"
		 "memory/a/memory.limit_in_bytes 9223372036854771712|"
		 "memory/memory.limit_in_bytes 4096|",
		 3, 4096},
		// Mounted at root/cpu; only its root has a quota.
		{"self 3:cpu,cpuacct:/a|cpu/a/cpu.cfs_quota_us -1|"
		 "cpu/a/cpu.cfs_period_us 100000|cpu/cpu.cfs_quota_us 100000|"
		 "cpu/cpu.cfs_period_us 100000|",
		 1, 0},
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.files);
		temp_dir d;
		std::string files = r.files;
		for (size_t at = 0; at < files.size();) {
			size_t bar = files.find('|', at), space = files.find(' ', at);
			std::filesystem::path name = d / files.substr(at, space - at);
			std::filesystem::create_directories(name.parent_path());
			spit(name, files.substr(space + 1, bar - space - 1) + "\n");
			at = bar + 1;
		}
		EXPECT_EQ(cgroup_cpus(d.path.c_str(), (d / "self").c_str()), r.cpus);
		EXPECT_EQ(cgroup_memory(d.path.c_str(), (d / "self").c_str()), r.memory);
	}
	EXPECT_GE(limits_cpus(), 1u);
	EXPECT_LE(limits_cpus(), static_cast<unsigned>(sysconf(_SC_NPROCESSORS_ONLN)));
	EXPECT_LE(limits_memory(),
		  static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES) * sysconf(_SC_PAGESIZE)));
}

TEST_F(Gunzip, WriteError) { EXPECT_EQ(unit(three, 1 << 18, "/dev/full").first, GZ_ERROR); }

} // namespace

// The trailer's length wraps at 4 GiB, and memory must not grow with it.
TEST(Slow, MemberPastFourGiB)
{
	temp_dir dir;
	const std::string big = dir / "big.gz";
	ASSERT_EQ(run({"sh", "-c", "yes 'words on a line' | head -c 4400000000 | gzip -1 >\"$0\"",
		       big})
			  .status,
		  0);
	std::string path = std::string(ZCAT_DIR) + ":" + getenv("PATH");
	how h;
	h.path = path.c_str();
	result r = run({ZTEXT_BIN, big}, h);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "TEXTFILE\n");

	// A length off by 2^32 is still wrong.
	int fd = open(big.c_str(), O_WRONLY);
	struct stat sb;
	ASSERT_EQ(fstat(fd, &sb), 0);
	ASSERT_EQ(pwrite(fd, "\x01", 1, sb.st_size - 1), 1);
	close(fd);
	r = run({ZTEXT_BIN, big}, h);
	EXPECT_EQ(r.status, 2);
}
