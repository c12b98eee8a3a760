// bzip2: one stream per begin(), decoded by libbz2, loaded the first time a
// bzip2 stream turns up. The driver takes what follows the stream.
#include "bzip2.h"
#include "io.h"
#include "lib.h"
#include "unit.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <bzlib.h>

static struct {
	decltype(&BZ2_bzDecompressInit) init;
	decltype(&BZ2_bzDecompress) decompress;
	decltype(&BZ2_bzDecompressEnd) end;
} bz;

static bool loaded, ready;
static bz_stream strm;

static const char *why(int r)
{
	switch (r) {
	case BZ_MEM_ERROR:
		return "Cannot allocate memory";
	case BZ_DATA_ERROR_MAGIC:
		// "BZh" is matched already: the block size is not '1' to '9'.
		return "bad magic number (file not created by bzip2)";
	case BZ_DATA_ERROR:
		// A block's CRC, the stream's, or data that cannot be: the library
		// does not tell which.
		return "data integrity error";
	default:
		return "internal error";
	}
}

static const char *load()
{
	if (!loaded) {
		const symbol symbols[] = {
			{"BZ2_bzDecompressInit", slot(bz.init)},
			{"BZ2_bzDecompress", slot(bz.decompress)},
			{"BZ2_bzDecompressEnd", slot(bz.end)},
		};
		const char *error = lib_load("libbz2.so.1.0", symbols);
		if (error != nullptr)
			return error;
		loaded = true;
	}
	return nullptr;
}

static const char *begin()
{
	if (const char *error = load())
		return error;
	if (ready)
		bz.end(&strm);
	strm = bz_stream{};
	int r = bz.init(&strm, 0, 0);
	ready = r == BZ_OK;
	return ready ? nullptr : why(r);
}

static step run(flow *f)
{
	for (;;) {
		// The library's counts are unsigned int; what is over comes next turn.
		unsigned in_n = f->in_left < UINT_MAX ? (unsigned)f->in_left : UINT_MAX;
		unsigned out_n = f->out_left < UINT_MAX ? (unsigned)f->out_left : UINT_MAX;
		// It only reads through next_in, which bzlib.h leaves unconst.
		strm.next_in = const_cast<char *>(reinterpret_cast<const char *>(f->in));
		strm.avail_in = in_n;
		strm.next_out = reinterpret_cast<char *>(f->out);
		strm.avail_out = out_n;
		int r = bz.decompress(&strm);
		f->in += in_n - strm.avail_in;
		f->in_left -= in_n - strm.avail_in;
		f->out += out_n - strm.avail_out;
		f->out_left -= out_n - strm.avail_out;
		// The stream ends at the byte that holds its last bit, and every
		// block before that end marker is given out in full.
		if (r == BZ_STREAM_END)
			return STEP_END;
		if (r != BZ_OK)
			return fail(f, why(r));
		if (f->in_left == 0 || f->out_left == 0)
			return STEP_MORE;
	}
}

// The 48 bits that end a stream.
constexpr uint64_t BZ2_END = 0x177245385090, BZ2_NONE = ~uint64_t{0};

// The n bits, at most 57, at bit `at` of p, which holds them.
static uint64_t bz2_bits(const unsigned char *p, uint64_t at, int n)
{
	uint64_t v = 0, first = at / 8, last = (at + (uint64_t)n - 1) / 8;
	for (uint64_t i = first; i <= last; i++)
		v = v << 8 | p[i];
	return v >> ((last + 1) * 8 - at - (uint64_t)n) & ((uint64_t{1} << n) - 1);
}

// The first bit at or after `from` where p[0..n) holds either magic whole,
// or BZ2_NONE.
static uint64_t bz2_find(const unsigned char *p, size_t n, uint64_t from)
{
	// Whichever bit a magic starts at, the two bytes after the one it
	// starts in are its own: those two bytes, as a set, let few others by.
	static const auto seen = [] {
		std::array<uint64_t, 1024> t{};
		for (uint64_t m : {BZ2_BLOCK, BZ2_END})
			for (int b = 0; b < 8; b++) {
				uint64_t v = m >> (24 + b) & 0xffff;
				t[v / 64] |= uint64_t{1} << (v % 64);
			}
		return t;
	}();
	for (size_t j = from / 8; j + 6 < n; j++) {
		unsigned v = p[j + 1] << 8 | p[j + 2];
		if ((seen[v / 64] >> (v % 64) & 1) == 0)
			continue;
		for (uint64_t at = j * 8; at < j * 8 + 8; at++) {
			uint64_t m = at + 48 <= (uint64_t)n * 8 ? bz2_bits(p, at, 48) : 0;
			if (at >= from && (m == BZ2_BLOCK || m == BZ2_END))
				return at;
		}
	}
	return BZ2_NONE;
}

// Puts the n bits of v at bit `at` of p, where its bits are 0.
static void put(unsigned char *p, uint64_t at, uint64_t v, int n)
{
	for (int i = n - 1; i >= 0; i--, at++)
		if ((v >> i & 1) != 0)
			p[at / 8] |= static_cast<unsigned char>(0x80 >> (at % 8));
}

bool bz2_grow(bz2_out *o)
{
	size_t cap = o->cap < (32 << 10) ? 64 << 10 : o->cap * 2;
	cap = cap < o->max ? cap : o->max;
	auto *q = cap > o->cap ? static_cast<unsigned char *>(realloc(o->buf, cap)) : nullptr;
	if (q == nullptr)
		return false;
	o->buf = q;
	o->cap = cap;
	return true;
}

// The block at bits [from, to) of in, rebuilt as a stream of its own with
// its CRC as the stream's, decoded and appended to o; false unless it ends
// exactly at `to`, checked. No magic repeats itself within 8 bits, so a
// block that ended elsewhere could not leave the stream's last byte read
// to an end marker.
static bool unit(const unsigned char *in, uint64_t from, uint64_t to, char level, bz2_out *o)
{
	if (to < from + 80 || to - from > UINT_MAX / 2)
		return false;
	uint64_t n = to - from, a = from / 8, in_end = (to + 7) / 8;
	unsigned shift = from % 8;
	auto size = static_cast<size_t>(4 + (n + 80 + 7) / 8);
	auto *s = static_cast<unsigned char *>(calloc(size, 1));
	if (s == nullptr)
		return false;
	const unsigned char head[] = {'B', 'Z', 'h', static_cast<unsigned char>(level)};
	memcpy(s, head, sizeof head);
	for (uint64_t i = 0; i < (n + 7) / 8; i++) {
		unsigned hi = in[a + i], lo = a + i + 1 < in_end ? in[a + i + 1] : 0;
		s[4 + i] = static_cast<unsigned char>(hi << shift | lo >> (8 - shift));
	}
	if (n % 8 != 0)
		s[4 + n / 8] &= static_cast<unsigned char>(0xff00 >> (n % 8));
	put(s, 32 + n, BZ2_END, 48);
	put(s, 32 + n + 48, bz2_bits(in, from + 48, 32), 32);
	bz_stream z{};
	z.next_in = reinterpret_cast<char *>(s);
	z.avail_in = static_cast<unsigned>(size);
	size_t start = o->len;
	bool ok = bz.init(&z, 0, 0) == BZ_OK;
	while (ok) {
		if (o->len == o->cap && !bz2_grow(o)) {
			ok = false;
			break;
		}
		size_t room = o->cap - o->len < UINT_MAX ? o->cap - o->len : UINT_MAX;
		z.next_out = reinterpret_cast<char *>(o->buf + o->len);
		z.avail_out = static_cast<unsigned>(room);
		int r = bz.decompress(&z);
		o->len += room - z.avail_out;
		if (r == BZ_STREAM_END) {
			ok = z.avail_in == 0;
			break;
		}
		// It wants more room, or more input: then the block is cut short.
		ok = r == BZ_OK && z.avail_out == 0;
	}
	bz.end(&z);
	free(s);
	if (!ok)
		o->len = start;
	return ok;
}

// Ours first; libbz2 for what ours does not take, which bzip2 never writes.
static bool block(const unsigned char *in, uint64_t from, uint64_t to, char level, bz2_out *o)
{
	return bz2_block(in, from, to, level, o) || unit(in, from, to, level, o);
}

// Decodes the blocks of a stream of level `level` ('1' to '9') that start
// at bits cut[0..k) of in, the last ending at cut[k], each by bz2_block()
// or, where that declines it, as a stream of its own by libbz2, appended
// to o. A block that does not end exactly at the next start is tried once
// joined to the one after, by bz2_block() alone, which decodes one block
// whatever its bits hold. False unless each decoded, checked; their CRCs
// combined in *crc, as the stream combines them, and the blocks decoded
// counted in *n.
static bool bz2_blocks(const unsigned char *in, const uint32_t *cut, size_t k, char level,
		       bz2_out *o, uint32_t *crc, unsigned *n)
{
	*crc = 0;
	*n = 0;
	for (size_t i = 0; i < k; i++, ++*n) {
		bool one = block(in, cut[i], cut[i + 1], level, o);
		// Joined, by ours alone: it decodes one block, where libbz2 would
		// go on into a block that starts inside and count one CRC of two.
		if (!one && (i + 2 > k || !bz2_block(in, cut[i], cut[i + 2], level, o)))
			return false;
		*crc = (*crc << 1 | *crc >> 31) ^
		       static_cast<uint32_t>(bz2_bits(in, cut[i] + 48, 32));
		i += one ? 0 : 1;
	}
	return true;
}

// Blocks, found by their magic at any bit of the stream: a piece is a run
// of them, each decoded on its own. A magic can also turn up inside a
// block's data; a block that does not end exactly at the next one is
// joined to the block after it, once, within its piece. Where that fails
// too, or the block is its piece's last, the ordinary reading takes over
// from the stream's start: every block written began where the one before
// ended, so it is one that reading would find. A piece's output is unknown
// until it is decoded, so the handover's bytes to skip are counted as
// pieces are written, and the stream's CRC checked there. A piece holds no
// more blocks than decode to OUT_MAX at most, one at least, so output
// waiting for its turn holds at most OUT_MAX per slot, or one block's most
// (45.9 MB at level 9).

// The compressed bytes a piece is given at least, as much as a block of
// 900 kB of text takes, and its blocks at most.
constexpr size_t BZ2_PIECE = 64 << 10, BZ2_CUTS = 16, BZ2_TINY = 4 << 10;
constexpr unsigned BZ2_TINY_RUN = 16;

static unsigned char bz2_buf[64 << 10];
static uint64_t bz2_start, bz2_next; // the stream's first byte, and the next piece's first bit or 0
static uint64_t input_at;
static char bz2_level;
static bool bz2_over;
static unsigned bz2_tiny;    // streams of one piece less than BZ2_TINY long, in a row
static uint64_t bz2_written; // by the stream's pieces
static uint32_t bz2_crc;

// A piece's blocks: where they start, in bits from its first byte, and
// where the last ends; the CRCs of those decoded, combined, and their
// count; the stream's, where the piece ends it.
static struct {
	uint32_t cut[BZ2_CUTS + 1];
	unsigned cuts, units;
	uint32_t crc, stream_crc;
	char level;
	bool ends;
} parts[SLOTS_MAX];

// The first bit of a magic at or after `from`, and before `limit`, or BZ2_NONE.
static uint64_t bz2_scan(uint64_t from, uint64_t limit)
{
	for (uint64_t at = from / 8; at * 8 < limit; at += sizeof bz2_buf - 8) {
		const unsigned char *d;
		size_t n = cut_bytes(at, sizeof bz2_buf, bz2_buf, &d);
		uint64_t b = bz2_find(d, n, from > at * 8 ? from - at * 8 : 0);
		if (b != BZ2_NONE)
			return at * 8 + b < limit ? at * 8 + b : BZ2_NONE;
		if (n < sizeof bz2_buf)
			break;
	}
	return BZ2_NONE;
}

// The most a block of the level decodes to: a run of 4 to 255 bytes is 5
// bytes of the block.
static size_t bz2_most(char level) { return (size_t)(level - '0') * 100000 / 5 * 255; }

static bool scan(piece *p)
{
	handover none = p->back;
	if (bz2_over)
		return false;
	if (bz2_next == 0) {
		none = {bz2_start, 0, bz2_start > input_at};
		p->back = none;
		const unsigned char *h = cut_look(bz2_start, 10);
		if (h == nullptr || memcmp(h, "BZh", 3) != 0 || h[3] < '1' || h[3] > '9' ||
		    bz2_bits(h, 32, 48) != BZ2_BLOCK)
			return false;
		bz2_level = static_cast<char>(h[3]);
		bz2_next = bz2_start * 8 + 32;
	}
	auto &part = parts[p->slot];
	p->back = {bz2_start, 0, false};
	p->at = bz2_next / 8;
	part.level = bz2_level;
	part.ends = false;
	part.cuts = 0;
	uint64_t end = bz2_next, want = std::min<uint64_t>(p->want, BZ2_PIECE) * 8;
	size_t most = std::clamp(OUT_MAX / bz2_most(bz2_level), size_t{1}, BZ2_CUTS);
	while (!part.ends && part.cuts < most && end - bz2_next < want) {
		part.cut[part.cuts++] = static_cast<uint32_t>(end - p->at * 8);
		// The bit after: a magic in a block's last bits may overlap the
		// next block's, or stand less than a block's least before it.
		end = bz2_scan(end + 1, (p->at + PIECE_MAX) * 8);
		const unsigned char *m =
			end != BZ2_NONE ? cut_look(end / 8, (end % 8 + 80 + 7) / 8) : nullptr;
		if (m == nullptr) {
			// Nothing the scan knows: a piece that fails, so that the
			// ordinary reading takes over from the stream's start.
			bz2_over = true;
			part.cuts = 0;
			p->len = 0;
			return true;
		}
		part.ends = bz2_bits(m, end % 8, 48) == BZ2_END;
		part.stream_crc = static_cast<uint32_t>(bz2_bits(m, end % 8 + 48, 32));
	}
	part.cut[part.cuts] = static_cast<uint32_t>(end - p->at * 8);
	p->len = (end + 7) / 8 - p->at;
	// As large as the blocks were before the runs were shortened, at
	// least, and the decoder's tables for that many.
	uint64_t full = (uint64_t)(bz2_level - '0') * 100000;
	p->size = full * part.cuts;
	p->state = full * 6;
	// A stream of a few bytes costs a thread more to be handed than to
	// decode: after a run of them the rest is read on one thread, from
	// this one's start.
	bool whole = part.ends && p->at * 8 + part.cut[0] == bz2_start * 8 + 32;
	bz2_tiny = whole && p->len < BZ2_TINY ? bz2_tiny + 1 : 0;
	if (bz2_tiny == BZ2_TINY_RUN) {
		p->back = none;
		return false;
	}
	bz2_next = part.ends ? 0 : end;
	bz2_start = part.ends ? (end + 80 + 7) / 8 : bz2_start;
	return true;
}

static bool pieces_begin(uint64_t at, uint64_t)
{
	bz2_start = input_at = at;
	bz2_next = 0;
	bz2_over = false;
	bz2_tiny = 0;
	return load() == nullptr;
}

static uint32_t rotl(uint32_t v, unsigned k)
{
	k %= 32;
	return k == 0 ? v : v << k | v >> (32 - k);
}

static bool work(piece *p)
{
	auto &part = parts[p->slot];
	bz2_out o = {p->out, 0, p->out_cap, std::max(OUT_MAX, bz2_most(part.level))};
	bool ok = part.cuts > 0 &&
		  bz2_blocks(p->data, part.cut, part.cuts, part.level, &o, &part.crc, &part.units);
	p->out = o.buf;
	p->out_cap = o.cap;
	p->out_len = o.len;
	return ok;
}

static bool in_order(piece *p, bool ok)
{
	const auto &part = parts[p->slot];
	if (part.cut[0] + p->at * 8 == p->back.at * 8 + 32) {
		bz2_written = 0;
		bz2_crc = 0;
	}
	p->back.skip = bz2_written;
	bz2_written += p->out_len;
	bz2_crc = rotl(bz2_crc, part.units) ^ part.crc;
	return ok && (!part.ends || bz2_crc == part.stream_crc);
}

static const cutter cuts = {pieces_begin, scan, work, in_order, nullptr, bz2_drop, false, true};

const struct unit bzip2_unit = {
	"bzip2", {{3, {'B', 'Z', 'h'}}, {0, {}}}, 0, false, false, begin, run, nullptr, &cuts,
};
