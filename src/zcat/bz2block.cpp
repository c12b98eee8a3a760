// A bzip2 block decoded on its own, for the blocks decoded on threads. The
// inverse transform is a chain of loads each waiting for the one before;
// walking it from both ends at once, forward for the first half and back
// for the second, keeps two loads in flight instead of one.
#include "bzip2.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int PEEK = 10, MAX_LEN = 20, MAX_ALPHA = 258, MAX_GROUPS = 6, GROUP = 50;
constexpr unsigned MAX_SELECTORS = 18001;
constexpr size_t MAX_BLOCK = 900000;

// bzip2's CRC-32 (MSB first), eight bytes a step.
constexpr auto crc_table = [] {
	std::array<std::array<uint32_t, 256>, 8> t{};
	for (uint32_t i = 0; i < 256; i++) {
		uint32_t c = i << 24;
		for (int k = 0; k < 8; k++)
			c = (c & 0x80000000) != 0 ? c << 1 ^ 0x04c11db7 : c << 1;
		t[0][i] = c;
	}
	for (size_t k = 1; k < 8; k++)
		for (size_t i = 0; i < 256; i++)
			t[k][i] = t[k - 1][i] << 8 ^ t[0][t[k - 1][i] >> 24];
	return t;
}();

uint32_t crc32(const unsigned char *p, size_t n)
{
	const auto &t = crc_table;
	uint32_t c = 0xffffffff;
	for (; n >= 8; p += 8, n -= 8) {
		uint32_t a = c ^ (uint32_t)p[0] << 24 ^ (uint32_t)p[1] << 16 ^ (uint32_t)p[2] << 8 ^
			     p[3];
		c = t[7][a >> 24] ^ t[6][a >> 16 & 0xff] ^ t[5][a >> 8 & 0xff] ^ t[4][a & 0xff] ^
		    t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
	}
	for (; n > 0; p++, n--)
		c = c << 8 ^ t[0][c >> 24 ^ *p];
	return ~c;
}

// The block's bits, most significant first, zeros past its last byte.
struct bits {
	const unsigned char *p;
	size_t next, end; // the next byte to take, and the end of p
	uint64_t buf;     // n bits, left aligned
	int n;
};

void fill(bits *b)
{
	for (; b->n <= 56; b->n += 8, b->next++)
		b->buf |= uint64_t{b->next < b->end ? b->p[b->next] : 0u} << (56 - b->n);
}

uint32_t get(bits *b, int k)
{
	if (b->n < k)
		fill(b);
	auto v = static_cast<uint32_t>(b->buf >> (64 - k));
	b->buf <<= k;
	b->n -= k;
	return v;
}

// A canonical Huffman code: codes up to PEEK bits by one look-up, longer
// ones by their length's first code.
struct code {
	uint16_t fast[1 << PEEK]; // symbol << 5 | length; 0 where the code is longer
	uint32_t first[MAX_LEN + 1], count[MAX_LEN + 1], at[MAX_LEN + 1];
	uint16_t sorted[MAX_ALPHA];
};

// False for a code that is not complete: bzip2 writes no other.
bool make(code *c, const unsigned char *len, int alpha)
{
	memset(c->count, 0, sizeof c->count);
	for (int i = 0; i < alpha; i++)
		c->count[len[i]]++;
	uint32_t kraft = 0, next = 0, at = 0;
	for (int l = 1; l <= MAX_LEN; l++) {
		kraft += c->count[l] << (MAX_LEN - l);
		c->first[l] = next;
		c->at[l] = at;
		next = (next + c->count[l]) << 1;
		at += c->count[l];
	}
	if (kraft != uint32_t{1} << MAX_LEN)
		return false;
	memset(c->fast, 0, sizeof c->fast);
	uint32_t slot[MAX_LEN + 1];
	memcpy(slot, c->at, sizeof slot);
	for (int i = 0; i < alpha; i++) {
		int l = len[i];
		uint32_t k = slot[l]++, v = c->first[l] + k - c->at[l];
		c->sorted[k] = static_cast<uint16_t>(i);
		if (l <= PEEK)
			for (uint32_t j = v << (PEEK - l); j < (v + 1) << (PEEK - l); j++)
				c->fast[j] = static_cast<uint16_t>(i << 5 | l);
	}
	return true;
}

int decode(bits *b, const code *c)
{
	if (b->n < MAX_LEN)
		fill(b);
	int l;
	unsigned e = c->fast[b->buf >> (64 - PEEK)], sym;
	if (e != 0) {
		sym = e >> 5;
		l = static_cast<int>(e & 31);
	} else {
		auto v = static_cast<uint32_t>(b->buf >> (64 - MAX_LEN));
		for (l = PEEK + 1;; l++) {
			if (l > MAX_LEN)
				return -1;
			uint32_t k = (v >> (MAX_LEN - l)) - c->first[l];
			if (k < c->count[l]) {
				sym = c->sorted[c->at[l] + k];
				break;
			}
		}
	}
	b->buf <<= l;
	b->n -= l;
	return static_cast<int>(sym);
}

// A thread's arrays, kept for its next blocks. A row's successor takes 20
// bits and its predecessor 20 more: vec holds the successor and the
// predecessor's low 12 bits, aux the block's byte and the predecessor's
// high 8, 6 bytes a row.
constexpr uint32_t ROW = (1 << 20) - 1;
thread_local uint32_t *vec;
thread_local uint16_t *aux;

bool scratch()
{
	if (vec == nullptr)
		vec = static_cast<uint32_t *>(malloc(MAX_BLOCK * sizeof *vec));
	if (aux == nullptr)
		aux = static_cast<uint16_t *>(malloc(MAX_BLOCK * sizeof *aux));
	return vec != nullptr && aux != nullptr;
}

// The block's bytes as they were before the transform, each row's with its
// neighbours, their count in *size, and the row of the first in *orig.
// Codes and selectors are taken only as bzip2 writes them.
bool symbols(bits *b, size_t most, size_t *size, uint32_t *orig)
{
	if (get(b, 1) != 0) // randomised, which no bzip2 since 0.9.5 writes
		return false;
	*orig = get(b, 24);
	unsigned char seq[256];
	int used = 0;
	uint32_t groups = get(b, 16);
	for (int i = 0; i < 16; i++)
		if ((groups >> (15 - i) & 1) != 0) {
			uint32_t m = get(b, 16);
			for (int j = 0; j < 16; j++)
				if ((m >> (15 - j) & 1) != 0)
					seq[used++] = static_cast<unsigned char>(i * 16 + j);
		}
	int alpha = used + 2, tables = static_cast<int>(get(b, 3));
	unsigned n_sel = get(b, 15);
	if (used == 0 || tables < 2 || tables > MAX_GROUPS || n_sel == 0 || n_sel > MAX_SELECTORS)
		return false;
	unsigned char sel[MAX_SELECTORS], order[MAX_GROUPS] = {0, 1, 2, 3, 4, 5};
	for (unsigned i = 0; i < n_sel; i++) {
		int j = 0;
		while (get(b, 1) != 0)
			if (++j >= tables)
				return false;
		unsigned char t = order[j];
		memmove(order + 1, order, static_cast<size_t>(j));
		sel[i] = order[0] = t;
	}
	code codes[MAX_GROUPS];
	for (int t = 0; t < tables; t++) {
		unsigned char len[MAX_ALPHA] = {};
		int l = static_cast<int>(get(b, 5));
		for (int i = 0; i < alpha; i++) {
			for (;;) {
				if (l < 1 || l > MAX_LEN)
					return false;
				if (get(b, 1) == 0)
					break;
				l += get(b, 1) != 0 ? -1 : 1;
			}
			len[i] = static_cast<unsigned char>(l);
		}
		if (!make(&codes[t], len, alpha))
			return false;
	}
	unsigned char mtf[256];
	memcpy(mtf, seq, static_cast<size_t>(used));
	size_t n = 0, run = 0, weight = 1;
	unsigned group = 1, left = GROUP;
	const code *c = &codes[sel[0]];
	uint32_t count[256] = {};
	for (;;) {
		if (left == 0) {
			if (group == n_sel)
				return false;
			c = &codes[sel[group++]];
			left = GROUP;
		}
		left--;
		int s = decode(b, c);
		if (s < 0)
			return false;
		if (s <= 1) { // a digit of a run's length, least significant first
			run += static_cast<size_t>(s + 1) * weight;
			weight <<= 1;
			if (run > most - n)
				return false;
			continue;
		}
		if (run > 0) {
			auto x = static_cast<uint16_t>(mtf[0] << 8);
			for (size_t i = 0; i < run; i++)
				aux[n + i] = x;
			count[mtf[0]] += static_cast<uint32_t>(run);
			n += run;
			run = 0;
			weight = 1;
		}
		if (s == alpha - 1)
			break;
		if (n == most)
			return false;
		auto v = static_cast<size_t>(s - 1);
		unsigned char x = mtf[v];
		memmove(mtf + 1, mtf, v);
		mtf[0] = x;
		aux[n++] = static_cast<uint16_t>(x << 8);
		count[x]++;
	}
	// bzip2 writes a selector a group; one over is let by.
	if (n_sel > group + 1 || *orig >= n)
		return false;
	uint32_t sum = 0;
	for (uint32_t &k : count) {
		uint32_t x = k;
		k = sum;
		sum += x;
	}
	memset(vec, 0, n * sizeof *vec);
	for (uint32_t i = 0; i < n; i++) {
		uint32_t j = count[aux[i] >> 8]++; // row i follows row j
		vec[j] |= i;
		vec[i] |= (j & 0xfff) << 20;
		aux[i] = static_cast<uint16_t>(aux[i] | j >> 12);
	}
	*size = n;
	return true;
}

// Two chains through the rows: from the first byte on, and from the last
// back. Rows that are not one cycle (from damage) would make the two give
// other bytes than one chain all the way, as libbz2 walks: false unless
// they meet, which they do where the first row's cycle divides the block.
bool walk(size_t n, uint32_t orig, unsigned char *out)
{
	uint32_t f = orig, r = orig;
	size_t h = n / 2;
	for (size_t k = 0; k < h; k++) {
		uint32_t x = vec[f] & ROW, y = vec[r], a = aux[r];
		out[k] = static_cast<unsigned char>(aux[x] >> 8);
		out[n - 1 - k] = static_cast<unsigned char>(a >> 8);
		f = x;
		r = y >> 20 | (a & 0xff) << 12;
	}
	if (n % 2 == 0)
		return f == r;
	out[h] = static_cast<unsigned char>(aux[r] >> 8);
	return (vec[f] & ROW) == r;
}

// Runs of 4 equal bytes and a count, the n bytes at `at` in o's buffer,
// undone into o. The output overtakes what is left to read only by the
// runs' counts; then what is left moves up into a larger buffer.
bool runs(bz2_out *o, size_t at, size_t n)
{
	int same = 0;
	unsigned last = 256;
	unsigned char *p = o->buf;
	size_t w = o->len; // kept here: a byte written could be o->len for all the compiler knows
	for (size_t i = 0; i < n; i++) {
		unsigned c = p[at + i];
		if (same == 4) {
			// bzip2 writes no count over 251.
			if (c > 251)
				return false;
			while (w + c > at + i + 1) {
				size_t cap = o->cap;
				if (!bz2_grow(o))
					return false;
				p = o->buf;
				memmove(p + at + i + o->cap - cap, p + at + i, n - i);
				at += o->cap - cap;
			}
			memset(p + w, static_cast<int>(last), c);
			w += c;
			same = 0;
			last = 256;
			continue;
		}
		p[w++] = static_cast<unsigned char>(c);
		same = c == last ? same + 1 : 1;
		last = c;
	}
	o->len = w;
	return same != 4;
}

} // namespace

bool bz2_block(const unsigned char *in, uint64_t from, uint64_t to, char level, bz2_out *o)
{
	if (to < from + 80 || level < '1' || level > '9' || !scratch())
		return false;
	bits b = {in, static_cast<size_t>(from / 8), static_cast<size_t>((to + 7) / 8), 0, 0};
	fill(&b);
	b.buf <<= from % 8;
	b.n -= static_cast<int>(from % 8);
	uint64_t magic = get(&b, 24);
	if ((magic << 24 | get(&b, 24)) != BZ2_BLOCK)
		return false;
	uint32_t crc = get(&b, 16) << 16;
	crc |= get(&b, 16);
	size_t n = 0, start = o->len;
	uint32_t orig = 0;
	if (!symbols(&b, static_cast<size_t>(level - '0') * 100000, &n, &orig) ||
	    b.next * 8 - static_cast<uint64_t>(b.n) != to)
		return false;
	while (o->cap - o->len < n)
		if (!bz2_grow(o))
			return false;
	size_t at = o->cap - n;
	if (!walk(n, orig, o->buf + at) || !runs(o, at, n) ||
	    crc32(o->buf + start, o->len - start) != crc) {
		o->len = start;
		return false;
	}
	return true;
}

void bz2_drop()
{
	free(vec);
	free(aux);
	vec = nullptr;
	aux = nullptr;
}
