// Deflate decoded from a block start, the window before it unknown. Codes
// are looked up a root of bits at a time, the rare longer ones in a second
// table under their root; the bits come from a 64-bit buffer refilled
// eight bytes at a time, so that a length and its distance never wait for
// input. Only a copy from before the piece's start takes the slow path.
#include "inflate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace {

constexpr int MAX_BITS = 15, LIT_ROOT = 10, DIST_ROOT = 8, LENS_ROOT = 7;
// A complete code of lengths up to 15 needs at most these sub-table
// entries under a root of 10 (literal/length) or 8 (distance) bits.
constexpr size_t LIT_SIZE = (1 << LIT_ROOT) + 2048, DIST_SIZE = (1 << DIST_ROOT) + 1024;
constexpr uint32_t MARK_END = 256 + INFLATE_WINDOW; // the mark of the byte just past the window

// An entry: value << 16 | op << 8 | bits of its code. For a sub-table, the
// value is its offset and the op's low bits its index bits.
// Two literals whose codes fit in the root together are one entry, PAIR,
// the first in the value's low byte.
enum : uint8_t { LIT = 0, PAIR = 1, EXTRA = 0x10, SUB = 0x20, END = 0x40, BAD = 0x80 };

constexpr uint32_t entry(uint32_t value, uint32_t op) { return value << 16 | op << 8; }

// What each literal/length and distance symbol stands for.
constexpr auto lit_sym = [] {
	std::array<uint32_t, 288> t{};
	const uint16_t base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
				   31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
	const uint8_t extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
				   2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
	for (uint32_t s = 0; s < 256; s++)
		t[s] = entry(s, LIT);
	t[256] = entry(0, END);
	for (int s = 0; s < 29; s++)
		t[257 + s] = entry(base[s], EXTRA | extra[s]);
	t[286] = t[287] = entry(0, BAD);
	return t;
}();

constexpr auto dist_sym = [] {
	std::array<uint32_t, 32> t{};
	for (uint32_t s = 0, base = 1; s < 30; s++) {
		uint32_t k = s < 2 ? 0 : s / 2 - 1;
		t[s] = entry(base, EXTRA | k);
		base += 1u << k;
	}
	t[30] = t[31] = entry(0, BAD);
	return t;
}();

constexpr auto lens_sym = [] {
	std::array<uint32_t, 19> t{};
	for (uint32_t s = 0; s < 19; s++)
		t[s] = entry(s, LIT);
	return t;
}();

// The order of the code-length code's lengths.
constexpr uint8_t lens_order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
				    11, 4,  12, 3, 13, 2, 14, 1, 15};

// Whether the lengths len[0..n) make a complete code, or, with `one`, a
// single code of one bit, which deflate allows for distances.
bool complete(const uint8_t *len, int n, bool one)
{
	int count[MAX_BITS + 1] = {};
	for (int i = 0; i < n; i++)
		count[len[i]]++;
	int left = 1;
	for (int b = 1; b <= MAX_BITS; b++) {
		left = 2 * left - count[b];
		if (left < 0)
			return false;
	}
	return left == 0 || (one && count[1] == 1 && left == 1 << (MAX_BITS - 1));
}

// The n low bits of c in reverse order: deflate sends codes first bit first.
uint32_t reverse(uint32_t c, int n)
{
	uint32_t r = 0;
	for (int i = 0; i < n; i++, c >>= 1)
		r = r << 1 | (c & 1);
	return r;
}

// Fills t for the code of lengths len[0..n), complete or a single code of
// one bit (its other half left BAD); false where the sub-tables would not
// fit in `size`.
bool build(uint32_t *t, size_t size, int root, const uint8_t *len, int n, const uint32_t *sym)
{
	int count[MAX_BITS + 1] = {};
	for (int i = 0; i < n; i++)
		count[len[i]]++;
	count[0] = 0;
	uint32_t next[MAX_BITS + 1] = {};
	for (int b = 1; b <= MAX_BITS; b++)
		next[b] = (next[b - 1] + count[b - 1]) << 1;
	uint32_t rootn = 1u << root, mask = rootn - 1;
	std::fill(t, t + rootn, entry(0, BAD));
	uint16_t code[288] = {};
	uint8_t longest[1 << LIT_ROOT] = {};
	for (int s = 0; s < n; s++) {
		if (len[s] == 0)
			continue;
		code[s] = (uint16_t)reverse(next[len[s]]++, len[s]);
		if (len[s] <= root) {
			for (uint32_t i = code[s]; i < rootn; i += 1u << len[s])
				t[i] = sym[s] | len[s];
		} else {
			uint8_t &l = longest[code[s] & mask];
			l = std::max(l, len[s]);
		}
	}
	// Each root with longer codes under it gets a sub-table as deep as its longest.
	size_t used = rootn;
	for (uint32_t r = 0; r < rootn; r++) {
		if (longest[r] == 0)
			continue;
		uint32_t k = longest[r] - root;
		if (used + (1u << k) > size)
			return false;
		t[r] = entry((uint32_t)used, SUB | k) | (uint32_t)root;
		std::fill(t + used, t + used + (1u << k), entry(0, BAD));
		used += 1u << k;
	}
	for (int s = 0; s < n; s++) {
		if (len[s] <= root)
			continue;
		uint32_t sub = t[code[s] & mask] >> 16, k = (t[code[s] & mask] >> 8) & 15;
		for (uint32_t i = code[s] >> root; i < 1u << k; i += 1u << (len[s] - root))
			t[sub + i] = sym[s] | len[s];
	}
	return true;
}

// Pairs the literal/length table's literals; from the top, so that the
// entry each one looks at, further down, is still single.
void pair(uint32_t *t)
{
	for (uint32_t i = 1u << LIT_ROOT; i-- > 0;) {
		uint32_t e = t[i], l = e & 0xff;
		if ((e >> 8 & 0xff) != LIT)
			continue;
		uint32_t f = t[i >> l];
		if ((f >> 8 & 0xff) == LIT && l + (f & 0xff) <= LIT_ROOT)
			t[i] = entry(e >> 16 | (f >> 16) << 8, PAIR) | (l + (f & 0xff));
	}
}

struct tables {
	uint32_t lit[LIT_SIZE], dist[DIST_SIZE];
};

const tables &fixed()
{
	static const tables f = [] {
		tables t{};
		uint8_t len[288];
		std::fill(len, len + 144, 8);
		std::fill(len + 144, len + 256, 9);
		std::fill(len + 256, len + 280, 7);
		std::fill(len + 280, len + 288, 8);
		build(t.lit, LIT_SIZE, LIT_ROOT, len, 288, lit_sym.data());
		pair(t.lit);
		std::fill(len, len + 32, 5);
		build(t.dist, DIST_SIZE, DIST_ROOT, len, 32, dist_sym.data());
		return t;
	}();
	return f;
}

uint64_t load64(const unsigned char *p)
{
	uint64_t v;
	memcpy(&v, p, 8);
	if constexpr (std::endian::native == std::endian::big)
		v = __builtin_bswap64(v);
	return v;
}

// The input's bits, first bit lowest; zeros past `lim`, and none past `stop`.
struct reader {
	const unsigned char *in, *p, *lim;
	uint64_t buf;
	unsigned cnt;  // bits in buf
	size_t over;   // zero bytes given past lim
	uint64_t stop; // a bit past this is not the piece's
};

uint64_t taken(const reader *r) { return (uint64_t)(r->p - r->in + r->over) * 8 - r->cnt; }

// At least 56 bits in the buffer; false once they run past the stop.
bool refill(reader *r)
{
	if (r->lim - r->p >= 8) {
		r->buf |= load64(r->p) << r->cnt;
		r->p += (63 - r->cnt) >> 3;
		r->cnt |= 56;
		return true;
	}
	for (; r->cnt <= 56; r->cnt += 8)
		if (r->p < r->lim)
			r->buf |= (uint64_t)*r->p++ << r->cnt;
		else
			r->over++;
	return taken(r) <= r->stop;
}

void begin(reader *r, const unsigned char *in, size_t n, uint64_t at, uint64_t stop)
{
	// The next block's first bits too, which may be those of a stored block.
	*r = {in, in + at / 8, in + std::min<uint64_t>(n, (stop + 10) / 8), 0, 0, 0, stop};
	refill(r);
	r->buf >>= at % 8;
	r->cnt -= at % 8;
}

// k bits, at most 32; false past the stop.
bool get(reader *r, unsigned k, uint32_t *v)
{
	if (r->cnt < k && !refill(r))
		return false;
	*v = (uint32_t)(r->buf & ((uint64_t{1} << k) - 1));
	r->buf >>= k;
	r->cnt -= k;
	return true;
}

// A dynamic block's header after its first three bits: its code lengths
// into len, literal/length then distance, checked as inflate_find says.
bool header(reader *r, uint8_t *len, int *nlit, int *ndist)
{
	uint32_t hlit, hdist, hclen;
	if (!get(r, 5, &hlit) || !get(r, 5, &hdist) || !get(r, 4, &hclen) || hlit > 29 ||
	    hdist > 29)
		return false;
	*nlit = (int)hlit + 257;
	*ndist = (int)hdist + 1;
	uint8_t lens[19] = {};
	for (uint32_t i = 0; i < hclen + 4; i++) {
		uint32_t v;
		if (!get(r, 3, &v))
			return false;
		lens[lens_order[i]] = (uint8_t)v;
	}
	if (!complete(lens, 19, false))
		return false;
	uint32_t t[1 << LENS_ROOT];
	build(t, 1 << LENS_ROOT, LENS_ROOT, lens, 19, lens_sym.data());
	int total = *nlit + *ndist;
	// The literal/length code's share as it grows: random bits overflow it
	// within a few lengths, so the search stops there.
	uint32_t kraft = 0;
	for (int i = 0; i < total;) {
		if (kraft > 1u << MAX_BITS)
			return false;
		if (r->cnt < 14 && !refill(r))
			return false;
		uint32_t e = t[r->buf & ((1 << LENS_ROOT) - 1)], s = e >> 16;
		r->buf >>= e & 0xff;
		r->cnt -= e & 0xff;
		if (s < 16) {
			kraft += i < *nlit && s != 0 ? (1u << MAX_BITS) >> s : 0;
			len[i++] = (uint8_t)s;
			continue;
		}
		uint32_t v, run;
		uint8_t what = 0;
		if (s == 16) {
			if (i == 0)
				return false;
			what = len[i - 1];
			if (!get(r, 2, &v))
				return false;
			run = 3 + v;
		} else if (s == 17) {
			if (!get(r, 3, &v))
				return false;
			run = 3 + v;
		} else {
			if (!get(r, 7, &v))
				return false;
			run = 11 + v;
		}
		if (run > (uint32_t)(total - i))
			return false;
		if (what != 0 && i < *nlit)
			kraft += std::min(run, (uint32_t)(*nlit - i)) * ((1u << MAX_BITS) >> what);
		std::fill(len + i, len + i + run, what);
		i += (int)run;
	}
	return len[256] != 0 && complete(len, *nlit, false) && complete(len + *nlit, *ndist, true);
}

// A stored block's LEN after its first three bits, checked; the reader
// left at its data's first byte, emptied.
bool stored(reader *r, uint32_t *n)
{
	uint32_t pad, v;
	if (!get(r, (8 - taken(r) % 8) % 8, &pad) || pad != 0 || !get(r, 32, &v) ||
	    (v & 0xffff) != (~v >> 16))
		return false;
	*n = v & 0xffff;
	uint64_t at = taken(r) / 8;
	if (at > (uint64_t)(r->lim - r->in))
		return false;
	r->p = r->in + at;
	r->over = 0;
	r->buf = 0;
	r->cnt = 0;
	return true;
}

// Whether a block as inflate_find wants starts at bit `at`; a stored one
// followed by `depth` more stored ones at most.
bool candidate(const unsigned char *in, size_t n, uint64_t at, int depth)
{
	reader r;
	begin(&r, in, n, at, (uint64_t)n * 8);
	uint32_t head;
	if (!get(&r, 3, &head))
		return false;
	if (head == 4) {
		uint8_t len[320];
		int nlit, ndist;
		return header(&r, len, &nlit, &ndist);
	}
	uint32_t k;
	if (head != 0 || !stored(&r, &k))
		return false;
	uint64_t next = (uint64_t)(r.p - in) + k;
	// LEN and NLEN alone are 16 bits, found by chance some 15 times a MB:
	// the block after must hold too, which a run of stored blocks ends.
	return next < n && (depth == 0 || candidate(in, n, next * 8, depth - 1));
}

// Whether a stored block that starts at bit `at`, and one at the later
// bit `end`, both with their first bits zero up to the same byte, are the
// same: a stored block may start at any of the zero bits before its byte.
bool same_stored(const unsigned char *in, size_t n, uint64_t at, uint64_t end)
{
	if ((at + 10) / 8 != (end + 10) / 8 || end + 3 > (uint64_t)n * 8)
		return false;
	for (uint64_t i = at; i < end + 3; i++)
		if ((in[i / 8] >> (i % 8) & 1) != 0)
			return false;
	return true;
}

// One block's codes, into p->out; false at anything out of place. The
// reader's and the piece's fields are copied in and out, so that they stay
// in registers.
bool codes(reader *r, const tables &t, inflate_piece *p)
{
	reader b = *r;
	uint16_t *out = p->out;
	size_t o = p->len, cap = p->cap, marked = p->marked;
	for (;;) {
		if (b.cnt < 48) {
			if (b.lim - b.p >= 8) {
				b.buf |= load64(b.p) << b.cnt;
				b.p += (63 - b.cnt) >> 3;
				b.cnt |= 56;
			} else if (!refill(&b)) {
				return false;
			}
		}
		uint32_t e = t.lit[b.buf & ((1 << LIT_ROOT) - 1)];
		if ((e & entry(0, SUB)) != 0)
			e = t.lit[(e >> 16) +
				  ((b.buf >> LIT_ROOT) & ((1u << ((e >> 8) & 15)) - 1))];
		uint32_t op = e >> 8 & 0xff;
		if (op <= PAIR) {
			if (cap - o < 2 && cap - o < op + 1)
				return false;
			out[o] = (uint16_t)(e >> 16 & 0xff);
			if (cap - o >= 2)
				out[o + 1] = (uint16_t)(e >> 24);
			o += op + 1;
			b.buf >>= e & 0xff;
			b.cnt -= e & 0xff;
			continue;
		}
		if (op == END) {
			b.buf >>= e & 0xff;
			b.cnt -= e & 0xff;
			*r = b;
			p->len = o;
			p->marked = marked;
			return true;
		}
		if (op == BAD)
			return false;
		// A length, then its distance: 48 bits hold both.
		unsigned bits = e & 0xff;
		size_t len = (e >> 16) + (b.buf >> bits & ((1u << (op & 15)) - 1));
		bits += op & 15;
		b.buf >>= bits;
		b.cnt -= bits;
		e = t.dist[b.buf & ((1 << DIST_ROOT) - 1)];
		if ((e & entry(0, SUB)) != 0)
			e = t.dist[(e >> 16) +
				   ((b.buf >> DIST_ROOT) & ((1u << ((e >> 8) & 15)) - 1))];
		op = e >> 8 & 0xff;
		if (op == BAD)
			return false;
		bits = e & 0xff;
		size_t d = (e >> 16) + (b.buf >> bits & ((1u << (op & 15)) - 1));
		bits += op & 15;
		b.buf >>= bits;
		b.cnt -= bits;
		if (len > cap - o)
			return false;
		if (d > o) {
			// From before the piece: marks, for the bytes of its window,
			// which a distance (32768 at most) never reaches past.
			p->reach = std::max(p->reach, d - o);
			for (size_t i = 0; i < len; i++, o++)
				out[o] = (uint16_t)(o < d ? MARK_END + o - d : out[o - d]);
			marked = o;
			continue;
		}
		if (o - d < marked)
			marked = o + len;
		uint16_t *to = out + o;
		const uint16_t *from = to - d;
		if (d >= 8 && cap - o >= len + 8) {
			// Eight at a time, a few past the end, rewritten later.
			for (size_t i = 0; i < len; i += 8)
				memcpy(to + i, from + i, 16);
		} else {
			for (size_t i = 0; i < len; i++)
				to[i] = from[i];
		}
		o += len;
	}
}

// At least 57 bits at bit `at` of in[0..n), zeros past n.
uint64_t bits57(const unsigned char *in, size_t n, uint64_t at)
{
	size_t b = at / 8;
	uint64_t w = 0;
	if (b < n && n - b >= 8)
		w = load64(in + b);
	else
		for (size_t i = b; i < n; i++)
			w |= (uint64_t)in[i] << 8 * (i - b);
	return w >> (at % 8);
}

// Three code lengths' part of a complete code, in 128ths.
constexpr auto kraft3 = [] {
	std::array<uint16_t, 512> t{};
	for (unsigned v = 0; v < 512; v++)
		for (unsigned k = 0; k < 3; k++) {
			unsigned l = v >> 3 * k & 7;
			t[v] += l != 0 ? 128 >> l : 0;
		}
	return t;
}();

// What most bits fail before the whole header is read, without a branch
// on the bits: a stored block's zero bits and LEN, and a dynamic one's
// code-length code complete.
bool stored_likely(const unsigned char *in, size_t n, uint64_t at, uint64_t w)
{
	uint64_t b = (at + 10) / 8;
	return b + 4 <= n && (w & ((uint64_t{1} << (b * 8 - at)) - 1)) == 0 &&
	       (in[b] ^ in[b + 2]) == 0xff && (in[b + 1] ^ in[b + 3]) == 0xff;
}

bool dynamic_likely(const unsigned char *in, size_t n, uint64_t at, uint64_t w)
{
	unsigned k = (unsigned)(w >> 13 & 15) + 4;
	uint64_t v = bits57(in, n, at + 17) & (~uint64_t{0} >> (64 - 3 * k));
	unsigned sum = 0;
	for (int i = 0; i < 7; i++, v >>= 9)
		sum += kraft3[v & 511];
	return sum == 128;
}

} // namespace

bool inflate_decode(const unsigned char *in, size_t n, uint64_t start, uint64_t end,
		    inflate_piece *p)
{
	p->len = p->marked = p->reach = 0;
	p->final = false;
	uint64_t stop = end == INFLATE_FINAL ? (uint64_t)n * 8 : end;
	if (start >= stop || stop > (uint64_t)n * 8)
		return false;
	reader r;
	begin(&r, in, n, start, stop);
	tables dyn;
	for (;;) {
		uint32_t head;
		if (!get(&r, 3, &head))
			return false;
		const tables *t = &dyn;
		if (head >> 1 == 0) {
			uint32_t k;
			if (!stored(&r, &k) || k > (uint64_t)(r.lim - r.p) || k > p->cap - p->len)
				return false;
			for (uint32_t i = 0; i < k; i++)
				p->out[p->len++] = r.p[i];
			r.p += k;
		} else {
			if (head >> 1 == 1) {
				t = &fixed();
			} else if (head >> 1 == 2) {
				uint8_t len[320];
				int nlit, ndist;
				if (!header(&r, len, &nlit, &ndist) ||
				    !build(dyn.lit, LIT_SIZE, LIT_ROOT, len, nlit,
					   lit_sym.data()) ||
				    !build(dyn.dist, DIST_SIZE, DIST_ROOT, len + nlit, ndist,
					   dist_sym.data()))
					return false;
				pair(dyn.lit);
			} else {
				return false;
			}
			if (!codes(&r, *t, p))
				return false;
		}
		uint64_t at = taken(&r);
		if (at > stop)
			return false;
		if ((head & 1) != 0) {
			p->final = true;
			p->end = at;
			return end == INFLATE_FINAL || at == end;
		}
		if (end != INFLATE_FINAL && (at == stop || same_stored(in, n, at, stop))) {
			p->end = stop;
			return true;
		}
	}
}

bool inflate_resolve(const inflate_piece *p, const unsigned char *window, size_t len,
		     unsigned char *dst)
{
	size_t have = std::min(len, INFLATE_WINDOW);
	if (p->reach > have)
		return false;
	unsigned char map[MARK_END];
	for (unsigned i = 0; i < 256; i++)
		map[i] = (unsigned char)i;
	if (have > 0)
		memcpy(map + MARK_END - have, window + len - have, have);
	const uint16_t *out = p->out;
	size_t i = 0;
	for (; i < p->marked; i++)
		dst[i] = map[out[i]];
	for (; i < p->len; i++)
		dst[i] = (unsigned char)out[i];
	return true;
}

uint64_t inflate_find(const unsigned char *in, size_t n, uint64_t from, uint64_t limit)
{
	limit = std::min(limit, (uint64_t)n * 8);
	for (uint64_t at = from; at < limit; at += 40) {
		// 40 positions a word, each with its first 17 bits in it.
		uint64_t w = bits57(in, n, at);
		// Bits 0 0 then 1 (dynamic, HLIT and HDIST below 30) or 0 (stored).
		uint64_t zero = ~w & ~(w >> 1);
		uint64_t dyn = zero & w >> 2 & ~(w >> 4 & w >> 5 & w >> 6 & w >> 7) &
			       ~(w >> 9 & w >> 10 & w >> 11 & w >> 12);
		uint64_t mask = limit - at < 40 ? (uint64_t{1} << (limit - at)) - 1
						: (uint64_t{1} << 40) - 1;
		uint64_t pass = 0;
		for (uint64_t m = dyn & mask; m != 0; m &= m - 1) {
			unsigned i = (unsigned)std::countr_zero(m);
			pass |= (uint64_t)dynamic_likely(in, n, at + i, w >> i) << i;
		}
		for (uint64_t m = zero & ~(w >> 2) & mask; m != 0; m &= m - 1) {
			unsigned i = (unsigned)std::countr_zero(m);
			pass |= (uint64_t)stored_likely(in, n, at + i, w >> i) << i;
		}
		for (; pass != 0; pass &= pass - 1) {
			unsigned i = (unsigned)std::countr_zero(pass);
			uint64_t c = at + i;
			if (!candidate(in, n, c, 3))
				continue;
			// A stored block at its last bit that gives the same block:
			// the piece before ends at any of them.
			if ((w >> (i + 2) & 1) == 0)
				c = (c + 10) / 8 * 8 - 3;
			if (c < limit)
				return c;
		}
	}
	return INFLATE_NONE;
}

void inflate_slide(unsigned char *window, size_t *len, const unsigned char *out, size_t n)
{
	if (n >= INFLATE_WINDOW) {
		memcpy(window, out + n - INFLATE_WINDOW, INFLATE_WINDOW);
		*len = INFLATE_WINDOW;
		return;
	}
	size_t keep = std::min(*len, INFLATE_WINDOW - n);
	memmove(window, window + *len - keep, keep);
	if (n > 0)
		memcpy(window + keep, out, n);
	*len = keep + n;
}
