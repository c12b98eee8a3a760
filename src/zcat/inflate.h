// A piece of a deflate stream decoded from a block start, without the
// 32 KiB before it, for one gzip member decoded on several threads: the
// blocks that could start a piece, found at any bit; the piece decoded with
// marks where it copies from before its start; and the marks turned into
// bytes once the piece before is decoded.
//
// A thread decodes bits [start, end) of the member's deflate data into a
// marked output (two bytes a byte); the piece before it decoded, the
// in-order step resolves it with that piece's last 32 KiB, checks it with
// gzip_crc and writes it. Its own last 32 KiB are the next piece's window.
#ifndef ZTEXT_ZCAT_INFLATE_H
#define ZTEXT_ZCAT_INFLATE_H

#include <cstddef>
#include <cstdint>

constexpr uint64_t INFLATE_NONE = ~uint64_t{0};
// As `end`: the piece runs to a final block, wherever that ends.
constexpr uint64_t INFLATE_FINAL = ~uint64_t{0};
constexpr size_t INFLATE_WINDOW = 32768;

// The first bit in [from, limit) of in[0..n) where a block starts that is
// not the last one, and is either dynamic, its code-length, literal/length
// and distance codes each complete (or one distance code of one bit), an
// end-of-block code among them and no repeat or run out of place; or stored,
// LEN and NLEN agreeing, zero bits to the byte, and a block such as this
// search finds right after its data (the fourth of a run of stored blocks
// taken on its LEN and NLEN alone). A stored block may start at any of the
// zero bits before its LEN's byte: it is given at the last of them. Fixed
// blocks are not looked for: too many bits would pass. INFLATE_NONE where
// there is none.
uint64_t inflate_find(const unsigned char *in, size_t n, uint64_t from, uint64_t limit);

// A marked output: a value below 256 is that byte; 256 + i is byte i of the
// 32 KiB window before the piece (INFLATE_WINDOW - 1: the byte just before).
struct inflate_piece {
	uint16_t *out; // the caller's, cap values; out[0..len) written
	size_t cap, len;
	size_t marked; // out[marked..len) holds no mark
	size_t reach;  // bytes before the piece that a mark names, at most INFLATE_WINDOW
	uint64_t end;  // the bit after the last block, or the `end` asked for
	bool final;    // the last block was the stream's last
};

// Decodes the blocks from bit `start` of in[0..n) to bit `end` (or
// INFLATE_FINAL) into p->out. False, declined, for anything it does not
// expect: a code that inflate_find would not take (in any block, not only
// the first), a length or distance symbol that deflate does not define, a
// stored block with bits other than zero to its byte, output past p->cap, a
// block over `end`, or a final block before it. A block may also end where
// a stored block starting at `end` could start too: on zero bits before
// the same byte (inflate_find gives a stored block's last such bit).
bool inflate_decode(const unsigned char *in, size_t n, uint64_t start, uint64_t end,
		    inflate_piece *p);

// The piece's bytes into dst[0..p->len), given the `len` bytes that came
// before it in its member, the last of them at window[len - 1] (at most
// INFLATE_WINDOW taken). False where a mark names a byte before the member.
bool inflate_resolve(const inflate_piece *p, const unsigned char *window, size_t len,
		     unsigned char *dst);

// The window after n more bytes of the member, out[0..n): window[0..*len)
// holds the last bytes before them, INFLATE_WINDOW at most, and then the
// last bytes up to the end of out.
void inflate_slide(unsigned char *window, size_t *len, const unsigned char *out, size_t n);

#endif
