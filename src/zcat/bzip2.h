// bzip2's own decoder of a block, for the blocks that threads decode.
#ifndef ZTEXT_ZCAT_BZIP2_H
#define ZTEXT_ZCAT_BZIP2_H

#include <cstddef>
#include <cstdint>

// The 48 bits that start a block.
constexpr uint64_t BZ2_BLOCK = 0x314159265359;

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
// Lets go of the arrays that the calling thread keeps for its next blocks.
void bz2_drop();

#endif
