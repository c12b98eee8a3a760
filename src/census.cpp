#include "census.h"

#include <algorithm>
// For the AVX2 check alone. glibc's header is C (_Bool), which of the C++
// compilers only GCC takes.
#if defined(CENSUS_AVX2) && !defined(__clang__) && __has_include(<sys/platform/x86.h>)
#include <sys/platform/x86.h>
// Named here, not by testing glibc's macro: a checker that does not read
// system headers would define that macro empty and misparse its call.
#define CENSUS_GLIBC_CPU
#endif

void census_add(byte_census *c, unsigned char b)
{
	if (b == ' ' || b == '\n')
		c->separator_bytes++;
	if (b > 0x7f)
		c->high_bytes++;
	if (b == 0)
		c->nul_bytes++;
	c->total_bytes++;
}

// Byte-wide lane counters let the compiler count 16 or 32 bytes per
// instruction without a branch; a lane gains at most one per round, so
// flushing every 255 rounds keeps them from wrapping.
constexpr size_t LANES = 64, ROUNDS = 255;

// The one loop, compiled into each build below.
[[gnu::always_inline]] static inline void add_block(byte_census *c, const unsigned char *p,
						    size_t n)
{
	while (n >= LANES) {
		size_t rounds = std::min(n / LANES, ROUNDS);
		unsigned char nul[LANES] = {}, high[LANES] = {}, sep[LANES] = {};

		for (size_t r = 0; r < rounds; r++, p += LANES)
			for (size_t i = 0; i < LANES; i++) {
				unsigned char b = p[i];
				nul[i] += b == 0;
				high[i] += b >> 7;
				// cppcheck-suppress bitwiseOnBoolean ; | where || would branch
				sep[i] += (b == ' ') | (b == '\n');
			}
		for (size_t i = 0; i < LANES; i++) {
			c->nul_bytes += nul[i];
			c->high_bytes += high[i];
			c->separator_bytes += sep[i];
		}
		c->total_bytes += (int64_t)(rounds * LANES);
		n -= rounds * LANES;
	}
	while (n-- > 0)
		census_add(c, *p++);
}

void census_add_block_portable(byte_census *c, const unsigned char *p, size_t n)
{
	add_block(c, p, n);
}

#ifdef CENSUS_AVX2
// 32-byte vectors count twice as fast as any x86-64's 16-byte ones.
[[gnu::target("avx2")]] void census_add_block_avx2(byte_census *c, const unsigned char *p, size_t n)
{
	add_block(c, p, n);
}

// glibc asked the processor at start. libgcc's check would ask it again, a
// dozen CPUID instructions: 0.13 ms a run where a hypervisor traps each one.
bool census_has_avx2()
{
#ifdef CENSUS_GLIBC_CPU
	return CPU_FEATURE_ACTIVE(AVX2);
#else
	return __builtin_cpu_supports("avx2");
#endif
}
#endif

void census_add_block(byte_census *c, const unsigned char *p, size_t n)
{
#ifdef CENSUS_AVX2
	if (census_has_avx2()) {
		census_add_block_avx2(c, p, n);
		return;
	}
#endif
	census_add_block_portable(c, p, n);
}

verdict census_verdict(const byte_census *c)
{
	int64_t n = c->total_bytes;

	if (c->nul_bytes > n / 4 + 2)
		return NONTEXT;
	if (c->high_bytes > n / 2 + 2)
		return NONTEXT;
	if (c->separator_bytes < n / 200)
		return NONTEXT;
	return TEXTFILE;
}
