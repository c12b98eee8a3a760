// lz4: one frame per stream, on liblz4's frame decoder, which stops exactly
// at the end of the frame and checks the checksums and the content size that
// the frame has. The legacy format has no end mark, so it is not taken.
#include <cstddef>
#include <cstring>

#define LZ4F_STATIC_LINKING_ONLY // for the error codes
#include <lz4frame.h>

#include "lib.h"
#include "unit.h"

static struct {
	decltype(&LZ4F_createDecompressionContext) create;
	decltype(&LZ4F_resetDecompressionContext) reset;
	decltype(&LZ4F_decompress) decompress;
	decltype(&LZ4F_isError) is_error;
	decltype(&LZ4F_getErrorCode) error_code;
	decltype(&LZ4F_getErrorName) error_name;
} lz4;

static const symbol symbols[] = {
	{"LZ4F_createDecompressionContext", slot(lz4.create)},
	{"LZ4F_resetDecompressionContext", slot(lz4.reset)},
	{"LZ4F_decompress", slot(lz4.decompress)},
	{"LZ4F_isError", slot(lz4.is_error)},
	{"LZ4F_getErrorCode", slot(lz4.error_code)},
	{"LZ4F_getErrorName", slot(lz4.error_name)},
};

static LZ4F_dctx *dctx;
// What liblz4 asks for next, given to it whole: it then decodes one block
// a call from the same bytes however the input arrives, so the output of
// the blocks before a fault is counted, as by lz4. Given a block in parts,
// it asks for 4 bytes too many, reads past the block and drops the block's
// output where that fails, and writes a stored block before its checksum.
static size_t want;
// A request that arrives in parts, up to a block of 4 MiB, its header and
// its checksum: stage[lo..hi) not yet taken.
static unsigned char stage[(4 << 20) + 16];
static size_t lo, hi;

static const char *begin()
{
	if (dctx == nullptr) {
		const char *why = lib_load("liblz4.so.1", symbols);
		if (why != nullptr)
			return why;
		LZ4F_dctx *d = nullptr;
		if (lz4.is_error(lz4.create(&d, LZ4F_VERSION)) != 0)
			return "liblz4: out of memory";
		dctx = d;
	}
	// Also clears what an earlier frame's error left.
	lz4.reset(dctx);
	want = LZ4F_HEADER_SIZE_MIN;
	lo = hi = 0;
	return nullptr;
}

static const char *message(size_t code)
{
	switch (lz4.error_code(code)) {
	case LZ4F_ERROR_headerChecksum_invalid:
	case LZ4F_ERROR_blockChecksum_invalid:
	case LZ4F_ERROR_contentChecksum_invalid:
		return "invalid compressed data--crc error";
	case LZ4F_ERROR_frameSize_wrong:
		return "invalid compressed data--length error";
	case LZ4F_ERROR_allocation_failed:
		return "liblz4: out of memory";
	case LZ4F_ERROR_decompressionFailed:
	case LZ4F_ERROR_headerVersion_wrong:
	case LZ4F_ERROR_reservedFlag_set:
	case LZ4F_ERROR_maxBlockSize_invalid:
	case LZ4F_ERROR_frameType_unknown:
		return "invalid compressed data--format violated";
	default:
		return lz4.error_name(code);
	}
}

static step run(flow *f)
{
	// Checksums stay on (the default); the output may move between calls.
	static const LZ4F_decompressOptions_t options = {};
	for (;;) {
		size_t n = want < sizeof stage ? want : sizeof stage, took = 0;
		const unsigned char *src = f->in;
		bool direct = lo == hi && f->in_left >= n;
		if (!direct) {
			if (lo == hi)
				lo = hi = 0;
			took = n - (hi - lo) < f->in_left ? n - (hi - lo) : f->in_left;
			memcpy(stage + hi, f->in, took);
			f->in += took;
			f->in_left -= took;
			hi += took;
			if (hi - lo < n)
				return STEP_MORE;
			src = stage + lo;
		}
		size_t in_n = n, out_n = f->out_left;
		size_t hint = lz4.decompress(dctx, f->out, &out_n, src, &in_n, &options);
		if (lz4.is_error(hint) != 0)
			return fail(f, message(hint));
		f->out += out_n;
		f->out_left -= out_n;
		if (direct) {
			f->in += in_n;
			f->in_left -= in_n;
		} else {
			lo += in_n;
		}
		// The rest of a request is asked for again, not the hint.
		want = in_n < n ? n - in_n : hint;
		if (hint == 0) {
			// Staged bytes past the frame go back to the input.
			if (hi - lo > took)
				return fail(f, "liblz4: read past the frame");
			f->in -= hi - lo;
			f->in_left += hi - lo;
			lo = hi = 0;
			return STEP_END;
		}
		if (in_n == 0 && out_n == 0) {
			if (f->out_left == 0)
				return STEP_MORE;
			return fail(f, "liblz4: no progress");
		}
	}
}

const unit lz4_unit = {"lz4", {{4, {0x04, 0x22, 0x4d, 0x18}}, {}}, 0, true, false, begin, run};
