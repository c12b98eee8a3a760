#include "deflate.h"

void deflate_begin(deflate *d)
{
	isal_inflate_init(&d->st);
	d->st.crc_flag = ISAL_GZIP_NO_HDR;
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
