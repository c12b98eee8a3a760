// bzip2: one stream per begin(), decoded by libbz2, loaded the first time a
// bzip2 stream turns up. The driver takes what follows the stream.
#include "bzip2.h"
#include "lib.h"
#include "unit.h"

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

const unit bzip2_unit = {
	"bzip2", {{3, {'B', 'Z', 'h'}}, {0, {}}}, 0, false, false, begin, run,
};

const char *bz2_blocks_begin() { return load(); }

uint64_t bz2_bits(const unsigned char *p, uint64_t at, int n)
{
	uint64_t v = 0, first = at / 8, last = (at + (uint64_t)n - 1) / 8;
	for (uint64_t i = first; i <= last; i++)
		v = v << 8 | p[i];
	return v >> ((last + 1) * 8 - at - (uint64_t)n) & ((uint64_t{1} << n) - 1);
}

uint64_t bz2_find(const unsigned char *p, size_t n, uint64_t from)
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

bool bz2_blocks(const unsigned char *in, const uint32_t *cut, size_t k, char level, bz2_out *o,
		uint32_t *crc, unsigned *n)
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
