// .Z data (LZW), decoded code by code as gzip decodes them, to the same
// bytes, damaged data included. They carry no check, so a stream simply
// runs to the end of the input, and a code cut by that end is dropped.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "unit.h"

constexpr unsigned BITS = 16, INIT_BITS = 9, CLEAR = 256, BLOCK_MODE = 0x80, RESERVED = 0x60;

static uint16_t prefix[1 << BITS];      // of each code: the code of its string less the last byte
static unsigned char suffix[1 << BITS]; // and that last byte
static unsigned char stack[1 << BITS];  // a string, decoded backwards
static size_t sp;                       // stack[sp..) is not written out yet

static size_t head; // bytes of the 3-byte header taken
static bool block_mode;
static unsigned maxbits, n_bits;
static uint32_t maxmaxcode, maxcode, free_ent;
static int32_t oldcode; // the code before, -1 at the start
static unsigned char finchar;
static uint32_t bits;       // taken and not used yet, the first in the lowest bit
static unsigned bits_count; // how many
static unsigned group;      // codes read at this width, modulo 8
static unsigned skip;       // bits to drop to the end of the group
static char message[64];

static const char *begin()
{
	head = 0;
	sp = sizeof stack;
	bits = 0;
	bits_count = 0;
	group = 0;
	skip = 0;
	oldcode = -1;
	finchar = 0;
	return nullptr;
}

// The flags byte, after the magic.
static step header(flow *f, unsigned char b)
{
	maxbits = b & 0x1f;
	block_mode = (b & BLOCK_MODE) != 0;
	if (maxbits > BITS) {
		(void)snprintf(message, sizeof message,
			       "compressed with %u bits, can only handle %u bits", maxbits, BITS);
		return fail(f, message);
	}
	// gzip warns and decodes on: status 2 all the same.
	if ((b & RESERVED) != 0) {
		(void)snprintf(message, sizeof message, "unknown flags 0x%x -- not read",
			       b & RESERVED);
		return refuse(f, message);
	}
	maxmaxcode = (uint32_t)1 << maxbits;
	n_bits = INIT_BITS;
	maxcode = ((uint32_t)1 << n_bits) - 1;
	free_ent = block_mode ? CLEAR + 1 : CLEAR;
	// Once the table is full, a damaged stream can read the entry at the
	// next free code, never written: gzip's tables start zeroed.
	uint32_t full = maxmaxcode > free_ent ? maxmaxcode : free_ent;
	if (full < sizeof suffix) {
		prefix[full] = 0;
		suffix[full] = 0;
	}
	return STEP_MORE;
}

// Codes are packed in groups of 8; a new width starts after the group.
static void end_group()
{
	skip = group == 0 ? 0 : (8 - group) * n_bits;
	group = 0;
}

// The end of the input, or the need for more.
static step more(const flow *f) { return f->last ? STEP_END : STEP_MORE; }

static step run(flow *f)
{
	while (head < 3) {
		if (f->in_left == 0)
			return STEP_MORE;
		unsigned char b = *f->in++;
		f->in_left--;
		// The magic is checked by whoever called.
		if (++head == 3) {
			step s = header(f, b);
			if (s != STEP_MORE)
				return s;
		}
	}
	for (;;) {
		if (sp < sizeof stack) {
			size_t n =
				sizeof stack - sp < f->out_left ? sizeof stack - sp : f->out_left;
			memcpy(f->out, stack + sp, n);
			f->out += n;
			f->out_left -= n;
			sp += n;
			if (sp < sizeof stack)
				return STEP_MORE;
		}
		if (free_ent > maxcode) {
			end_group();
			n_bits++;
			maxcode = n_bits == maxbits ? maxmaxcode : ((uint32_t)1 << n_bits) - 1;
		}
		while (skip > 0) {
			if (bits_count == 0) {
				if (f->in_left == 0)
					return more(f);
				bits = *f->in++;
				f->in_left--;
				bits_count = 8;
			}
			unsigned n = skip < bits_count ? skip : bits_count;
			bits >>= n;
			bits_count -= n;
			skip -= n;
		}
		while (bits_count < n_bits) {
			if (f->in_left == 0)
				return more(f);
			bits |= (uint32_t)*f->in++ << bits_count;
			f->in_left--;
			bits_count += 8;
		}
		uint32_t code = bits & (((uint32_t)1 << n_bits) - 1);
		bits >>= n_bits;
		bits_count -= n_bits;
		group = (group + 1) % 8;

		if (oldcode < 0) {
			if (code >= CLEAR)
				return fail(f, "corrupt input.");
			oldcode = (int32_t)code;
			finchar = (unsigned char)code;
			stack[--sp] = finchar;
			continue;
		}
		if (code == CLEAR && block_mode) {
			end_group();
			free_ent = CLEAR;
			n_bits = INIT_BITS;
			maxcode = ((uint32_t)1 << n_bits) - 1;
			continue;
		}
		uint32_t incode = code;
		if (code >= free_ent) {
			// The string of the code before and its own first byte.
			if (code > free_ent)
				return fail(f, "corrupt input.");
			stack[--sp] = finchar;
			code = (uint32_t)oldcode;
		}
		// A prefix is always a lower code (that of 256 after a CLEAR
		// aside, which no code reaches), so the string fits the stack.
		while (code > 0xff) {
			stack[--sp] = suffix[code];
			code = prefix[code];
		}
		finchar = (unsigned char)code;
		stack[--sp] = finchar;
		if (free_ent < maxmaxcode) {
			prefix[free_ent] = (uint16_t)oldcode;
			suffix[free_ent] = finchar;
			free_ent++;
		}
		oldcode = (int32_t)incode;
	}
}

const unit lzw_unit = {"lzw", {{2, {0x1f, 0x9d}}, {}}, 0, false, true, begin, run};
