// Random streams at, one below and one above each limit, gzipped and judged
// by the built binary, against the rule restated without divisions.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "reference.h"

namespace {

enum byte_class : uint8_t { NUL, HIGH, SEP };

// n bytes holding exactly `count` of class `cls`, the rest drawn so that the
// other classes stay well inside their limits.
std::string make_stream(std::mt19937_64 &rng, int64_t n, byte_class cls, int64_t count)
{
	std::string s;
	auto letter = [&] { return static_cast<char>('a' + rng() % 26); };
	for (int64_t i = 0; i < count; i++)
		s += cls == NUL    ? '\0'
		     : cls == HIGH ? static_cast<char>(0x80 + rng() % 128)
				   : " \n"[rng() % 2];
	while (static_cast<int64_t>(s.size()) < n) {
		unsigned r = rng() % 16;
		if (cls == SEP)
			s += r == 0  ? '\0'
			     : r < 3 ? '\xe9'
			     : r < 5 ? "\t\r\x01\x7f"[rng() % 4]
				     : letter();
		else
			s += r < 2 ? ' ' : letter();
	}
	std::shuffle(s.begin(), s.end(), rng);
	return s;
}

TEST(Property, StreamsAtTheLimits)
{
	std::mt19937_64 rng(2026);
	temp_dir dir;
	struct stream {
		std::string name;
		bool text{};
	};
	std::vector<stream> streams;
	std::vector<std::string> gzip_args = {"gzip", "-1", "-n"};
	// A smaller run where each process is slow, as under the sanitizers.
	const char *rounds_env = getenv("ZTEXT_PROPERTY_ROUNDS");
	long rounds = rounds_env != nullptr ? strtol(rounds_env, nullptr, 10) : 333;
	for (long i = 0; i < rounds; i++) {
		int64_t top = i % 3 == 0 ? 1000 : i % 3 == 1 ? 20000 : 300000;
		int64_t n = static_cast<int64_t>(rng() % (top + 1));
		const int64_t limits[] = {n / 4 + 2, n / 2 + 2, n / 200};
		for (byte_class cls : {NUL, HIGH, SEP})
			for (int64_t d = -1; d <= 1; d++) {
				int64_t count = limits[cls] + d;
				if (count < 0 || count > n)
					continue;
				std::string s = make_stream(rng, n, cls, count);
				int64_t nul = std::count(s.begin(), s.end(), '\0');
				int64_t high = std::count_if(s.begin(), s.end(), [](char c) {
					return static_cast<unsigned char>(c) > 0x7f;
				});
				int64_t sep = std::count(s.begin(), s.end(), ' ') +
					      std::count(s.begin(), s.end(), '\n');
				std::string name = dir / std::to_string(streams.size());
				spit(name, s);
				streams.push_back({name, reference_text(n, nul, high, sep)});
				gzip_args.push_back(name);
			}
	}
	ASSERT_EQ(run(gzip_args).status, 0);

	int text = 0;
	for (const stream &s : streams) {
		result r = run({ZTEXT_BIN, s.name + ".gz"});
		ASSERT_EQ(r.status, s.text ? 0 : 1) << s.name;
		ASSERT_EQ(r.out, s.text ? "TEXTFILE\n" : "NONTEXT\n") << s.name;
		text += s.text;
	}
	// Both answers must be well represented, or the streams missed the limits.
	EXPECT_GT(text, static_cast<int>(streams.size()) / 4);
	EXPECT_LT(text, static_cast<int>(streams.size()) * 3 / 4);
	RecordProperty("streams", static_cast<int>(streams.size()));
}

} // namespace
