// Deflate data, inflated with ISA-L: the body of a gzip member and of a
// zip entry.
#ifndef ZTEXT_ZCAT_DEFLATE_H
#define ZTEXT_ZCAT_DEFLATE_H

#include <cstdint>

#include <isa-l/igzip_lib.h>

#include "unit.h"

struct deflate {
	inflate_state st;
	uint32_t crc = 0;         // gzip's CRC-32 of the content so far
	uint64_t in = 0, out = 0; // bytes of deflate data taken, of content written
};

// gzip's CRC-32 of p[0..n), going on from `crc`, that of the bytes before.
uint32_t gzip_crc(uint32_t crc, const unsigned char *p, size_t n);
// The same by tables, without ISA-L: gzip_crc's path for small data.
uint32_t gzip_crc_tables(uint32_t crc, const unsigned char *p, size_t n);

void deflate_begin(deflate *d);

// STEP_MORE, STEP_ERROR, or STEP_END once the data have ended, with the
// whole bytes that ISA-L took past them in tail[0..*n), at most 8.
step deflate_run(deflate *d, flow *f, unsigned char *tail, size_t *n);

#endif
