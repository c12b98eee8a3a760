#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "census.h"

namespace {

byte_census per_byte(const std::string &s)
{
	byte_census c = {};
	for (unsigned char b : s)
		census_add(&c, b);
	return c;
}

const unsigned char *bytes(const std::string &s)
{
	return reinterpret_cast<const unsigned char *>(s.data());
}

byte_census block(const std::string &s)
{
	byte_census c = {};
	census_add_block(&c, bytes(s), s.size());
	return c;
}

void expect_same(const byte_census &a, const byte_census &b)
{
	EXPECT_EQ(a.total_bytes, b.total_bytes);
	EXPECT_EQ(a.nul_bytes, b.nul_bytes);
	EXPECT_EQ(a.high_bytes, b.high_bytes);
	EXPECT_EQ(a.separator_bytes, b.separator_bytes);
}

std::string rep(size_t n, char ch) { return std::string(n, ch); }

// Most zero bytes and high bytes that pass, fewest separators that pass.
struct limits {
	int64_t n, max_nul, max_high, min_sep;
};

const limits limit_table[] = {
	{0, 2, 2, 0},
	{1, 2, 2, 0},
	{2, 2, 3, 0},
	{3, 2, 3, 0},
	{4, 3, 4, 0},
	{10, 4, 7, 0},
	{100, 27, 52, 0},
	{199, 51, 101, 0},
	{200, 52, 102, 1},
	{399, 101, 201, 1},
	{400, 102, 202, 2},
	{600, 152, 302, 3},
	{999, 251, 501, 4},
	{1000, 252, 502, 5},
	{2147483647, 536870913, 1073741825, 10737418},
	{2147483648, 536870914, 1073741826, 10737418},
	{3221225472, 805306370, 1610612738, 16106127},
	{4294967296, 1073741826, 2147483650, 21474836},
	{4294967297, 1073741826, 2147483650, 21474836},
	{1099511627776, 274877906946, 549755813890, 5497558138},
};

verdict judge(int64_t n, int64_t nul, int64_t high, int64_t sep)
{
	byte_census c = {n, nul, high, sep};
	return census_verdict(&c);
}

TEST(Verdict, EachLimitBelowAtAndAbove)
{
	for (const limits &l : limit_table) {
		SCOPED_TRACE("n = " + std::to_string(l.n));
		EXPECT_EQ(judge(l.n, l.max_nul, 0, l.min_sep), TEXTFILE);
		EXPECT_EQ(judge(l.n, l.max_nul + 1, 0, l.min_sep), NONTEXT);
		EXPECT_EQ(judge(l.n, l.max_nul - 1, 0, l.min_sep), TEXTFILE);

		EXPECT_EQ(judge(l.n, 0, l.max_high, l.min_sep), TEXTFILE);
		EXPECT_EQ(judge(l.n, 0, l.max_high + 1, l.min_sep), NONTEXT);
		EXPECT_EQ(judge(l.n, 0, l.max_high - 1, l.min_sep), TEXTFILE);

		EXPECT_EQ(judge(l.n, 0, 0, l.min_sep + 1), TEXTFILE);
		if (l.min_sep > 0) {
			EXPECT_EQ(judge(l.n, 0, 0, l.min_sep - 1), NONTEXT);
		}

		// All three at their limits together still pass.
		EXPECT_EQ(judge(l.n, l.max_nul, l.max_high, l.min_sep), TEXTFILE);
	}
}

TEST(Census, ByteClasses)
{
	const struct {
		unsigned char b;
		int nul, high, sep;
	} cases[] = {
		{0x00, 1, 0, 0}, {0x01, 0, 0, 0}, {'\t', 0, 0, 0}, {'\n', 0, 0, 1}, {0x0b, 0, 0, 0},
		{0x0c, 0, 0, 0}, {'\r', 0, 0, 0}, {' ', 0, 0, 1},  {'a', 0, 0, 0},  {0x7f, 0, 0, 0},
		{0x80, 0, 1, 0}, {0xa0, 0, 1, 0}, {0xff, 0, 1, 0},
	};
	for (const auto &t : cases) {
		SCOPED_TRACE(static_cast<int>(t.b));
		// Many copies, so the block path's lanes see the byte too.
		std::string s(1000, static_cast<char>(t.b));
		for (const byte_census &c : {per_byte(s), block(s)}) {
			EXPECT_EQ(c.total_bytes, 1000);
			EXPECT_EQ(c.nul_bytes, 1000 * t.nul);
			EXPECT_EQ(c.high_bytes, 1000 * t.high);
			EXPECT_EQ(c.separator_bytes, 1000 * t.sep);
		}
	}
}

TEST(Census, Streams)
{
	const std::string u_acute = "\xc3\xba";
	std::string japanese, accented;
	for (int i = 0; i < 80; i++)
		japanese += "\xe6\x97\xa5"; // 240 bytes, all high
	for (int i = 0; i < 40; i++)
		accented += "tab" + u_acute + " "; // 240 bytes, 80 high, 40 blanks

	const struct {
		const char *what{};
		std::string s;
		verdict want{};
	} cases[] = {
		{"empty", "", TEXTFILE},
		{"two zero bytes", rep(2, 0), TEXTFILE},
		{"three zero bytes", rep(3, 0), NONTEXT},
		{"twelve zero bytes", rep(12, 0), NONTEXT},
		{"four 0xff", rep(4, '\xff'), TEXTFILE},
		{"five 0xff", rep(5, '\xff'), NONTEXT},
		{"199 letters", rep(199, 'a'), TEXTFILE},
		{"200 letters", rep(200, 'a'), NONTEXT},
		{"199 letters, line feed", rep(199, 'a') + "\n", TEXTFILE},
		{"199 letters, tab", rep(199, 'a') + "\t", NONTEXT},
		{"199 letters, carriage return", rep(199, 'a') + "\r", NONTEXT},
		{"27 zero, 73 blanks", rep(27, 0) + rep(73, ' '), TEXTFILE},
		{"28 zero, 72 blanks", rep(28, 0) + rep(72, ' '), NONTEXT},
		{"7 of 0x80, 3 blanks", rep(7, '\x80') + rep(3, ' '), TEXTFILE},
		{"8 of 0x80, 2 blanks", rep(8, '\x80') + rep(2, ' '), NONTEXT},
		{"400 bytes, 2 blanks", rep(199, 'a') + " " + rep(199, 'a') + " ", TEXTFILE},
		{"400 bytes, 1 blank", rep(199, 'a') + " " + rep(200, 'a'), NONTEXT},
		{"990 of 0x01, 5 blanks", rep(990, 1) + rep(5, ' '), TEXTFILE},
		{"298 of 0x7f, 2 line feeds", rep(298, 0x7f) + "\n\n", TEXTFILE},
		{"UTF-8, every byte high", japanese, NONTEXT},
		{"UTF-8, a third high", accented, TEXTFILE},
	};
	for (const auto &t : cases) {
		SCOPED_TRACE(t.what);
		byte_census a = per_byte(t.s), b = block(t.s);
		expect_same(a, b);
		EXPECT_EQ(census_verdict(&a), t.want);
	}
}

TEST(Census, BlockPathCountsPastFourGiB)
{
	// Start near 2^32 so that a narrower counter would wrap.
	const int64_t start = (int64_t{1} << 32) - 100;
	byte_census c = {start, start / 8, start / 4, start / 100};
	// More than 255 rounds of 64 bytes of each class.
	const int64_t k = int64_t{64} * 300;
	std::string s = rep(k, 0) + rep(k, '\xff') + rep(k + 7, ' ');
	census_add_block(&c, bytes(s), s.size());
	EXPECT_EQ(c.total_bytes, start + 3 * k + 7);
	EXPECT_EQ(c.nul_bytes, start / 8 + k);
	EXPECT_EQ(c.high_bytes, start / 4 + k);
	EXPECT_EQ(c.separator_bytes, start / 100 + k + 7);
	EXPECT_EQ(census_verdict(&c), TEXTFILE);
}

// Random bytes drawn from a few alphabets, so each class is both rare and common.
// cppcheck-suppress constParameterReference ; each draw changes rng
std::string random_stream(std::mt19937 &rng, size_t n)
{
	static const std::string alphabets[] = {
		std::string("\0\x80\xff \n\ta\x7f", 8),
		"the quick brown fox\n",
		std::string(1, '\0') + "          ",
	};
	const std::string &abc = alphabets[rng() % 4 % 3];
	bool uniform = rng() % 4 == 3;
	std::string s(n, 0);
	for (char &ch : s)
		ch = static_cast<char>(uniform ? rng() : abc[rng() % abc.size()]);
	return s;
}

TEST(Census, BlockPathEqualsPerByteOnRandomSplits)
{
	std::mt19937 rng(20261208);
	for (int round = 0; round < 200; round++) {
		std::string s = random_stream(rng, rng() % 200000);
		byte_census c = {};
		size_t at = 0;
		while (at < s.size()) {
			size_t len = std::min<size_t>(s.size() - at,
						      rng() % 3 == 0 ? rng() % 70 : rng() % 40000);
			if (rng() % 5 == 0)
				for (size_t i = at; i < at + len; i++)
					census_add(&c, static_cast<unsigned char>(s[i]));
			else
				census_add_block(&c, bytes(s) + at, len);
			at += len;
		}
		byte_census want = per_byte(s);
		expect_same(c, want);
		EXPECT_EQ(census_verdict(&c), census_verdict(&want));
	}
}

TEST(Census, BlockPathEveryLengthAndAlignment)
{
	std::mt19937 rng(7);
	const std::string abc("\0\x80\xff \n\ta\x7f", 8);
	std::string s(400 + 64, 0);
	for (char &ch : s)
		ch = abc[rng() % abc.size()];
	// Each build of the loop in turn, whichever census_add_block picks.
	std::vector<void (*)(byte_census *, const unsigned char *, size_t)> paths = {
		census_add_block, census_add_block_portable};
#ifdef CENSUS_AVX2
	if (census_has_avx2())
		paths.push_back(census_add_block_avx2);
#endif
	for (size_t off = 0; off < 64; off++)
		for (size_t len = 0; off + len <= s.size(); len++) {
			std::string part = s.substr(off, len);
			byte_census c = {};
			paths[(off + len) % paths.size()](&c, bytes(s) + off, len);
			byte_census want = per_byte(part);
			ASSERT_EQ(c.total_bytes, want.total_bytes) << off << "+" << len;
			ASSERT_EQ(c.nul_bytes, want.nul_bytes) << off << "+" << len;
			ASSERT_EQ(c.high_bytes, want.high_bytes) << off << "+" << len;
			ASSERT_EQ(c.separator_bytes, want.separator_bytes) << off << "+" << len;
		}
}

} // namespace
