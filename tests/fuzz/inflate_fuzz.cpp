// Any bytes through the own inflate: the search for block starts, each
// piece between two starts found, and the whole input from its first bit to
// a final block. Where that decodes and resolves, ISA-L must read the same
// bytes from the same input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <isa-l/igzip_lib.h>

#include "zcat/inflate.h"

static uint16_t marked[1 << 20];
static unsigned char got[1 << 20], want[(1 << 20) + 1], window[INFLATE_WINDOW];

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	// A piece, the window made up: its bytes must come out, whatever they are.
	size_t cap = size > 0 && data[0] % 4 == 0 ? data[0] : sizeof marked / sizeof *marked;
	uint64_t at = inflate_find(data, size, 0, INFLATE_NONE);
	for (int k = 0; k < 4 && at != INFLATE_NONE; k++) {
		uint64_t next = inflate_find(data, size, at + 1, INFLATE_NONE);
		for (int whole = next == INFLATE_NONE; whole < 2; whole++) {
			inflate_piece p{marked, cap, 0, 0, 0, 0, false};
			size_t before = size % (INFLATE_WINDOW + 1);
			if (!inflate_decode(data, size, at, whole != 0 ? INFLATE_FINAL : next, &p))
				continue;
			if (p.len > cap || p.marked > p.len || p.reach > INFLATE_WINDOW ||
			    inflate_resolve(&p, window, before, got) != (p.reach <= before))
				abort();
		}
		at = next;
	}
	inflate_piece p{marked, cap, 0, 0, 0, 0, false};
	if (size == 0 || !inflate_decode(data, size, 0, INFLATE_FINAL, &p) ||
	    !inflate_resolve(&p, nullptr, 0, got))
		return 0;
	inflate_state st;
	isal_inflate_init(&st);
	st.crc_flag = ISAL_DEFLATE;
	st.next_in = const_cast<uint8_t *>(data);
	st.avail_in = (uint32_t)size;
	st.next_out = want;
	st.avail_out = sizeof want;
	if (isal_inflate(&st) != ISAL_DECOMP_OK || st.block_state != ISAL_BLOCK_FINISH ||
	    st.total_out != p.len || memcmp(got, want, p.len) != 0 || !p.final)
		abort();
	return 0;
}
