// bzip2: one stream per begin(), decoded by libbz2, loaded the first time a
// bzip2 stream turns up. The driver takes what follows the stream.
#include "lib.h"
#include "unit.h"

#include <climits>

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

static const char *begin()
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
