// bzip2's part in decoding a stream's blocks on several threads: the magics
// found at any bit, and each block decoded as a stream of its own.
#ifndef ZTEXT_ZCAT_BZIP2_H
#define ZTEXT_ZCAT_BZIP2_H

#include <cstddef>
#include <cstdint>

// The 48 bits that start a block, and those that end a stream.
constexpr uint64_t BZ2_BLOCK = 0x314159265359, BZ2_END = 0x177245385090;
constexpr uint64_t BZ2_NONE = ~uint64_t{0};

// The n bits, at most 57, at bit `at` of p, which holds them.
uint64_t bz2_bits(const unsigned char *p, uint64_t at, int n);
// The first bit at or after `from` where p[0..n) holds either magic whole,
// or BZ2_NONE.
uint64_t bz2_find(const unsigned char *p, size_t n, uint64_t from);

// Loads what the rest needs; nullptr, or why not.
const char *bz2_blocks_begin();

struct bz2_out {
	unsigned char *buf; // malloc'ed, grown up to max
	size_t len, cap, max;
};
// Grows o's buffer, within max.
bool bz2_grow(bz2_out *o);
// Decodes the block at bits [from, to) of in, from its magic to its last
// bit, appended to o; false, o as it was, unless each of its parts is as
// bzip2 writes it and its CRC matches.
bool bz2_block(const unsigned char *in, uint64_t from, uint64_t to, char level, bz2_out *o);
// Decodes the blocks of a stream of level `level` ('1' to '9') that start
// at bits cut[0..k) of in, the last ending at cut[k], each by bz2_block()
// or, where that declines it, as a stream of its own by libbz2, appended
// to o. A block that does not end exactly at the next start is tried
// once joined to the one after, by bz2_block() alone, which decodes one
// block whatever its bits hold. False unless each decoded,
// checked; their CRCs combined in *crc, as the stream combines them, and
// the blocks decoded counted in *n.
bool bz2_blocks(const unsigned char *in, const uint32_t *cut, size_t k, char level, bz2_out *o,
		uint32_t *crc, unsigned *n);

#endif
