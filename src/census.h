// The byte census: four counts over one stream and the rule that judges them.
// Knows nothing of files, pipes or output.
#ifndef ZTEXT_CENSUS_H
#define ZTEXT_CENSUS_H

#include <cstddef>
#include <cstdint>

// 64-bit, so that streams past 2 GiB are judged by the same rule.
struct byte_census {
	int64_t total_bytes;
	int64_t nul_bytes;       // 0x00
	int64_t high_bytes;      // 0x80 to 0xFF
	int64_t separator_bytes; // blank and line feed only
};

// The value is the exit status.
enum verdict : uint8_t { TEXTFILE = 0, NONTEXT = 1 };

void census_add(byte_census *c, unsigned char b);
// Same counts as census_add on each byte of p[0..n) in order.
void census_add_block(byte_census *c, const unsigned char *p, size_t n);
// The builds of its loop that census_add_block picks from, by the processor.
void census_add_block_portable(byte_census *c, const unsigned char *p, size_t n);
#if defined(__x86_64__) && defined(__GNUC__)
#define CENSUS_AVX2 1
void census_add_block_avx2(byte_census *c, const unsigned char *p, size_t n);
bool census_has_avx2();
#endif
verdict census_verdict(const byte_census *c);

#endif
