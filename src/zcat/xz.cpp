// xz: one .xz stream per begin(), decoded by liblzma, loaded the first time
// an xz stream turns up. The driver takes the stream padding and whatever
// follows, so the decoder stops at the stream's footer.
#include "lib.h"
#include "unit.h"

#include <cstdint>
#include <cstdio>

#include <lzma.h>

static struct {
	decltype(&lzma_stream_decoder) stream_decoder;
	decltype(&lzma_code) code;
	decltype(&lzma_memusage) memusage;
} lz;

static bool loaded;
// Each thread decodes streams of its own.
static thread_local lzma_stream strm = LZMA_STREAM_INIT;
static thread_local char too_big[80];

// Room for a 128 MiB dictionary and the decoder's own few tens of KiB. The
// next dictionary size an LZMA2 block can ask for is 192 MiB.
constexpr uint64_t MIB = uint64_t{1} << 20;
constexpr uint64_t MEM_LIMIT = (uint64_t{1} << WINDOW_LOG_MAX) + MIB;

// xz's words for each failure.
static const char *why(lzma_ret r)
{
	switch (r) {
	case LZMA_MEM_ERROR:
		return "Cannot allocate memory";
	case LZMA_MEMLIMIT_ERROR:
		// The dictionary, give or take the decoder's own less than 1 MiB.
		(void)snprintf(too_big, sizeof too_big,
			       "needs a %llu MiB window, more than %llu MiB allowed",
			       (unsigned long long)(lz.memusage(&strm) / MIB),
			       (unsigned long long)(uint64_t{1} << WINDOW_LOG_MAX) / MIB);
		return too_big;
	case LZMA_FORMAT_ERROR:
		return "File format not recognized";
	case LZMA_OPTIONS_ERROR:
		return "Unsupported options";
	case LZMA_DATA_ERROR:
		return "Compressed data is corrupt";
	case LZMA_BUF_ERROR:
		return "Unexpected end of input";
	default:
		return "Internal error (bug)";
	}
}

static const char *begin()
{
	if (!loaded) {
		const symbol symbols[] = {
			{"lzma_stream_decoder", slot(lz.stream_decoder)},
			{"lzma_code", slot(lz.code)},
			{"lzma_memusage", slot(lz.memusage)},
		};
		const char *error = lib_load("liblzma.so.5", symbols);
		if (error != nullptr)
			return error;
		loaded = true;
	}
	// Not LZMA_CONCATENATED: it stops at the footer. A check this liblzma
	// cannot compute is told, so that nothing unchecked is given out.
	lzma_ret r = lz.stream_decoder(&strm, MEM_LIMIT, LZMA_TELL_UNSUPPORTED_CHECK);
	return r == LZMA_OK ? nullptr : why(r);
}

static step run(flow *f)
{
	for (;;) {
		strm.next_in = f->in;
		strm.avail_in = f->in_left;
		strm.next_out = f->out;
		strm.avail_out = f->out_left;
		lzma_ret r = lz.code(&strm, LZMA_RUN);
		f->in = strm.next_in;
		f->in_left = strm.avail_in;
		f->out = strm.next_out;
		f->out_left = strm.avail_out;
		if (r == LZMA_STREAM_END)
			return STEP_END;
		// LZMA_BUF_ERROR: called again with nothing to take or no room.
		if (r == LZMA_OK || r == LZMA_BUF_ERROR) {
			if (f->in_left == 0 || f->out_left == 0)
				return STEP_MORE;
			if (r == LZMA_OK)
				continue;
		}
		// xz decodes it unchecked, warns and answers 2.
		if (r == LZMA_UNSUPPORTED_CHECK)
			return refuse(f, "Unsupported type of integrity check; not decompressed");
		return fail(f, why(r));
	}
}

const unit xz_unit = {
	"xz", {{6, {0xfd, '7', 'z', 'X', 'Z', 0}}, {0, {}}}, 4, false, false, begin, run,
};
