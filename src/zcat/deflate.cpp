#include "deflate.h"

#include <array>
#include <isa-l/crc.h>

// [k][b]: the CRC of byte b followed by k zero bytes, so that a step takes 8 bytes.
static constexpr auto tables = [] {
	std::array<std::array<uint32_t, 256>, 8> t{};
	for (uint32_t b = 0; b < 256; b++) {
		uint32_t c = b;
		for (int i = 0; i < 8; i++)
			c = (c & 1) != 0 ? c >> 1 ^ 0xedb88320 : c >> 1;
		t[0][b] = c;
	}
	for (size_t k = 1; k < 8; k++)
		for (size_t b = 0; b < 256; b++)
			t[k][b] = t[k - 1][b] >> 8 ^ t[0][t[k - 1][b] & 0xff];
	return t;
}();

uint32_t gzip_crc_tables(uint32_t crc, const unsigned char *p, size_t n)
{
	const auto &t = tables;
	crc = ~crc;
	for (; n >= 8; p += 8, n -= 8) {
		uint32_t a = crc ^ (p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24);
		crc = t[7][a & 0xff] ^ t[6][a >> 8 & 0xff] ^ t[5][a >> 16 & 0xff] ^ t[4][a >> 24] ^
		      t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
	}
	for (; n > 0; p++, n--)
		crc = t[0][(crc ^ *p) & 0xff] ^ crc >> 8;
	return ~crc;
}

// ISA-L asks the processor which code to run on its first CRC. Where a
// hypervisor traps that (10 us a question here), the first call costs more
// than the tables take for a manual page, and most files ztext sees are
// small; so the first 64 KiB a process checks go through the tables.
static thread_local size_t tables_left = 64 << 10;

uint32_t gzip_crc(uint32_t crc, const unsigned char *p, size_t n)
{
	if (n > tables_left) {
		tables_left = 0;
		return crc32_gzip_refl(crc, p, n);
	}
	tables_left -= n;
	return gzip_crc_tables(crc, p, n);
}

void deflate_begin(deflate *d)
{
	isal_inflate_init(&d->st);
	d->crc = 0;
	d->in = d->out = 0;
}

step deflate_run(deflate *d, flow *f, unsigned char *tail, size_t *n)
{
	for (;;) {
		uint32_t in = f->in_left < UINT32_MAX ? (uint32_t)f->in_left : UINT32_MAX;
		uint32_t out = f->out_left < UINT32_MAX ? (uint32_t)f->out_left : UINT32_MAX;
		d->st.next_in = const_cast<uint8_t *>(f->in);
		d->st.avail_in = in;
		d->st.next_out = f->out;
		d->st.avail_out = out;
		if (isal_inflate(&d->st) < 0)
			return fail(f, "invalid compressed data--format violated");
		size_t took = in - d->st.avail_in, made = out - d->st.avail_out;
		f->in += took;
		f->in_left -= took;
		d->crc = gzip_crc(d->crc, f->out, made);
		f->out += made;
		f->out_left -= made;
		d->in += took;
		d->out += made;
		if (d->st.block_state == ISAL_BLOCK_FINISH) {
			// ISA-L may hold the next bytes in its bit buffer, whole ones
			// above the rest of the last byte of the data.
			uint64_t bits = d->st.read_in >> (d->st.read_in_length % 8);
			for (*n = 0; *n < (size_t)d->st.read_in_length / 8; ++*n, bits >>= 8)
				tail[*n] = (unsigned char)bits;
			d->in -= *n;
			return STEP_END;
		}
		if (f->in_left == 0 || f->out_left == 0)
			return STEP_MORE;
		// With input and room, it must get on.
		if (took == 0 && made == 0)
			return fail(f, "invalid compressed data--format violated");
	}
}
