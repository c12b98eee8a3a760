// The census on a buffer in memory, the size of one read of the pipe.
#include <cstdint>
#include <random>
#include <string>

#include <benchmark/benchmark.h>

#include "census.h"

namespace {

enum kind : uint8_t { TEXT_LIKE, RANDOM };

const std::string &data(kind k)
{
	static std::string text, random;
	std::string &s = k == TEXT_LIKE ? text : random;
	if (s.empty()) {
		std::mt19937 rng(1);
		const std::string words[] = {"the ", "census ", "of ", "bytes\n", "gz ", "zero "};
		while (s.size() < (1 << 16))
			s += k == TEXT_LIKE ? words[rng() % 6]
					    : std::string(1, static_cast<char>(rng()));
		s.resize(1 << 16);
	}
	return s;
}

void per_byte(benchmark::State &state, kind k)
{
	const std::string &s = data(k);
	for (auto _ : state) {
		byte_census c = {};
		for (unsigned char b : s)
			census_add(&c, b);
		benchmark::DoNotOptimize(c);
	}
	state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
}

// census_add_block, or the build of its loop for any x86-64.
void block(benchmark::State &state, void (*add)(byte_census *, const unsigned char *, size_t),
	   kind k)
{
	const std::string &s = data(k);
	for (auto _ : state) {
		byte_census c = {};
		add(&c, reinterpret_cast<const unsigned char *>(s.data()), s.size());
		benchmark::DoNotOptimize(c);
	}
	state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
}

BENCHMARK_CAPTURE(per_byte, text_like, TEXT_LIKE);
BENCHMARK_CAPTURE(per_byte, random, RANDOM);
BENCHMARK_CAPTURE(block, text_like, census_add_block, TEXT_LIKE);
BENCHMARK_CAPTURE(block, random, census_add_block, RANDOM);
BENCHMARK_CAPTURE(block, portable_text_like, census_add_block_portable, TEXT_LIKE);
BENCHMARK_CAPTURE(block, portable_random, census_add_block_portable, RANDOM);

} // namespace

BENCHMARK_MAIN();
