// xz's part in decoding a stream's blocks on several threads: the stream's
// index, read from its end, and each block decoded on its own.
#ifndef ZTEXT_ZCAT_XZ_H
#define ZTEXT_ZCAT_XZ_H

#include <cstddef>
#include <cstdint>

struct xz_record {
	uint64_t unpadded, size; // as the index has a block
};

// Loads what the rest needs; nullptr, or why not.
const char *xz_blocks_begin();
// Whether the stream footer f[0..12) is well formed, with a check this
// liblzma computes; the index's size and the check then.
bool xz_footer(const unsigned char *f, uint64_t *index_size, unsigned *check);
// Whether the stream header h[0..12) is well formed and agrees with f's.
bool xz_header(const unsigned char *h, const unsigned char *f);
// The index p[0..n)'s records, at most max, into r: their count, or -1
// where it is not an index, whole and checked, or holds more.
long xz_index(const unsigned char *p, size_t n, xz_record *r, size_t max);
// Decodes the k blocks that in[0..n) holds, each to exactly its record's
// sizes, into out; false unless each did, checked, and they fill in.
bool xz_blocks(const unsigned char *in, size_t n, const xz_record *r, size_t k, unsigned check,
	       unsigned char *out);

#endif
