// zstd: one frame per begin(), decoded by libzstd, loaded the first time a
// zstd frame turns up. The driver takes what follows the frame.
#include "io.h"
#include "lib.h"
#include "unit.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_getFrameHeader
#include <zstd.h>
#include <zstd_errors.h>

static struct {
	decltype(&ZSTD_createDCtx) create;
	decltype(&ZSTD_freeDCtx) free;
	decltype(&ZSTD_DCtx_reset) reset;
	decltype(&ZSTD_DCtx_setParameter) set;
	decltype(&ZSTD_decompressStream) decompress;
	decltype(&ZSTD_getFrameHeader) header;
	decltype(&ZSTD_isError) is_error;
	decltype(&ZSTD_getErrorCode) code;
	decltype(&ZSTD_getErrorName) name;
} zs;

static bool loaded;
// Each thread decodes frames of its own.
static thread_local ZSTD_DCtx *dctx;
// The window and content size of the last frame it decoded, each the
// largest since it was made.
static thread_local unsigned long long ctx_window, ctx_size;
static thread_local unsigned char head[ZSTD_FRAMEHEADERSIZE_MAX];
static thread_local size_t head_len;
static thread_local bool head_given; // head is whole and passed on to the library
static thread_local char too_big[80];
// The library keeps back what it decoded in a call that then fails, so it
// is given a block, or the checksum, at most a call, the last byte of each
// alone (a stored block's bytes come out as they come in), and what it
// holds is given out before more input: what comes out before a fault is
// then the same however the input is cut (as when the threads hand over).
static thread_local unsigned long long seg_left; // of the block or checksum being given
static thread_local unsigned char block[3];      // its header, as far as it has come
static thread_local size_t block_got;
static thread_local bool last_block, checksum, held;

constexpr unsigned long long MIB = 1ULL << 20;

static step fail(flow *f, size_t r)
{
	switch (zs.code(r)) {
	case ZSTD_error_checksum_wrong:
		return fail(f, "invalid compressed data--crc error");
	case ZSTD_error_corruption_detected:
		return fail(f, "invalid compressed data--format violated");
	default:
		return fail(f, zs.name(r));
	}
}

static step refuse_window(flow *f, unsigned long long size)
{
	(void)snprintf(too_big, sizeof too_big,
		       "needs a %llu MiB window, more than %llu MiB allowed",
		       (size + MIB - 1) / MIB, (1ULL << WINDOW_LOG_MAX) / MIB);
	return fail(f, too_big);
}

// A new context, the old one let go.
static const char *fresh()
{
	if (dctx != nullptr)
		zs.free(dctx);
	dctx = zs.create();
	if (dctx == nullptr)
		return "Cannot allocate memory";
	ctx_window = ctx_size = 0;
	size_t r = zs.set(dctx, ZSTD_d_windowLogMax, WINDOW_LOG_MAX);
	return zs.is_error(r) ? zs.name(r) : nullptr;
}

static const char *begin()
{
	if (!loaded) {
		const symbol symbols[] = {
			{"ZSTD_createDCtx", slot(zs.create)},
			{"ZSTD_freeDCtx", slot(zs.free)},
			{"ZSTD_DCtx_reset", slot(zs.reset)},
			{"ZSTD_DCtx_setParameter", slot(zs.set)},
			{"ZSTD_decompressStream", slot(zs.decompress)},
			{"ZSTD_getFrameHeader", slot(zs.header)},
			{"ZSTD_isError", slot(zs.is_error)},
			{"ZSTD_getErrorCode", slot(zs.code)},
			{"ZSTD_getErrorName", slot(zs.name)},
		};
		const char *error = lib_load("libzstd.so.1", symbols);
		if (error != nullptr)
			return error;
		loaded = true;
	}
	if (dctx == nullptr)
		if (const char *why = fresh())
			return why;
	zs.reset(dctx, ZSTD_reset_session_only);
	head_len = 0;
	head_given = false;
	seg_left = block_got = 0;
	last_block = held = false;
	return nullptr;
}

// The frame header is held here until whole, then its window is checked and
// it goes to the library alone. Given a whole frame at once, with room for
// its content, the library decodes it in one pass that skips the window limit.
static step header(flow *f)
{
	ZSTD_frameHeader fh;
	size_t need;
	while ((need = zs.header(&fh, head, head_len)) != 0) {
		if (zs.code(need) == ZSTD_error_frameParameter_windowTooLarge) {
			// Past the library's own largest: the window descriptor.
			unsigned char d = head[5];
			unsigned long long base = 1ULL << (10 + (d >> 3));
			return refuse_window(f, base + base / 8 * (d & 7));
		}
		if (zs.is_error(need))
			return fail(f, need);
		if (need <= head_len || need > sizeof head) // not this library's promise
			return fail(f, "frame header too long");
		if (f->in_left == 0)
			return STEP_MORE;
		size_t n = need - head_len < f->in_left ? need - head_len : f->in_left;
		memcpy(head + head_len, f->in, n);
		head_len += n;
		f->in += n;
		f->in_left -= n;
	}
	if (fh.frameType == ZSTD_frame && fh.windowSize > 1ULL << WINDOW_LOG_MAX)
		return refuse_window(f, fh.windowSize);
	// The library keeps the buffers of the frames before where they are
	// large enough, and a frame that declares less than they hold decodes
	// further into them before it fails: a frame that declares less than
	// one before gets a context of its own, so that what comes out before
	// the fault does not hang on which frames came before on this thread.
	if (fh.frameType == ZSTD_frame) {
		if (fh.windowSize < ctx_window || fh.frameContentSize < ctx_size) {
			if (const char *why = fresh())
				return fail(f, why);
		}
		ctx_window = fh.windowSize;
		ctx_size = fh.frameContentSize;
	}
	ZSTD_inBuffer in = {head, head_len, 0};
	ZSTD_outBuffer out = {f->out, f->out_left, 0};
	size_t r = zs.decompress(dctx, &out, &in);
	f->out += out.pos;
	f->out_left -= out.pos;
	if (zs.is_error(r))
		return fail(f, r);
	if (in.pos != head_len)
		return fail(f, "frame header not taken whole");
	head_given = true;
	checksum = fh.checksumFlag != 0;
	return r == 0 ? STEP_END : STEP_MORE;
}

static step run(flow *f)
{
	if (!head_given) {
		step s = header(f);
		// STEP_MORE with the header given: the frame's blocks follow.
		if (s != STEP_MORE || !head_given)
			return s;
	}
	for (;;) {
		size_t give = f->in_left, got = block_got;
		if (seg_left == 0 && last_block) {
			seg_left = checksum ? 4 : 0;
		} else if (seg_left == 0) {
			for (size_t i = got; i < 3 && i - got < f->in_left; i++)
				block[i] = f->in[i - got];
			if (got + f->in_left >= 3) {
				uint32_t h = block[0] | block[1] << 8 | (uint32_t)block[2] << 16;
				seg_left = 3 - got + ((h >> 1 & 3) == 1 ? 1 : h >> 3);
				last_block = (h & 1) != 0;
				block_got = 0;
			}
		}
		if (seg_left > 0 && seg_left <= give)
			give = (size_t)seg_left - (seg_left > 1 ? 1 : 0);
		ZSTD_inBuffer in = {f->in, held ? 0 : give, 0};
		ZSTD_outBuffer out = {f->out, f->out_left, 0};
		// 0 once the frame is whole and all of it is given out; until then
		// the frame's last byte stays in `in`.
		size_t r = zs.decompress(dctx, &out, &in);
		held = out.pos == out.size;
		if (seg_left > 0)
			seg_left -= in.pos;
		else
			block_got += in.pos;
		f->in += in.pos;
		f->in_left -= in.pos;
		f->out += out.pos;
		f->out_left -= out.pos;
		if (zs.is_error(r))
			return fail(f, r);
		if (r == 0)
			return STEP_END;
		if (f->in_left == 0 || f->out_left == 0)
			return STEP_MORE;
	}
}

static uint64_t input_size;

// The length of the zstd frame at `at`, its content's size, or 0 where it
// does not say, and the window it keeps; 0 where no whole frame is there.
static uint64_t frame(uint64_t at, uint64_t *size, uint64_t *window)
{
	const unsigned char *p = cut_look(at, 18);
	if (p == nullptr || cut_le(p, 4) != 0xfd2fb528 || (p[4] & 8) != 0)
		return 0;
	unsigned fcs = p[4] >> 6, single = p[4] >> 5 & 1;
	static const unsigned char id_len[] = {0, 1, 2, 4}, fcs_len[] = {0, 2, 4, 8};
	size_t fcs_at = 5 + (1 - single) + id_len[p[4] & 3];
	size_t n = fcs == 0 ? single : fcs_len[fcs];
	*size = 0;
	if (n > 0)
		*size = n == 8 ? cut_le(p + fcs_at, 4) | (uint64_t)cut_le(p + fcs_at + 4, 4) << 32
			       : cut_le(p + fcs_at, (int)n) + (n == 2 ? 256 : 0);
	bool sum = (p[4] & 4) != 0;
	// A block larger than the window is refused or not by libzstd as its
	// buffers happen to stand after the frames before: one thread's call.
	*window = single != 0 ? *size : (1024ULL << (p[5] >> 3)) / 8 * (8 + (p[5] & 7));
	uint64_t block_max = *window < (128 << 10) ? *window : 128 << 10, o = at + fcs_at + n;
	for (;;) {
		const unsigned char *b = cut_look(o, 3);
		if (b == nullptr || (b[0] >> 1 & 3) == 3 || cut_le(b, 3) >> 3 > block_max)
			return 0;
		uint32_t h = cut_le(b, 3);
		o += 3 + ((h >> 1 & 3) == 1 ? 1 : h >> 3);
		if (o - at > PIECE_MAX)
			return 0;
		if ((h & 1) != 0)
			break;
	}
	o += sum ? 4 : 0;
	return o <= input_size ? o - at : 0;
}

// The length of the skippable frames at `at`, whole; 0 where none is.
static uint64_t skippables(uint64_t at)
{
	uint64_t o = at;
	for (const unsigned char *p; (p = cut_look(o, 8)) != nullptr && skippable(p, 8);)
		o += 8 + (uint64_t)cut_le(p + 4, 4);
	return o <= input_size ? o - at : 0;
}

static bool scan(piece *p)
{
	while (p->len < p->want) {
		uint64_t size, window, n = frame(p->at + p->len, &size, &window);
		uint64_t out = size > 0 ? size : 4 * n;
		if (n == 0 || p->len + n > PIECE_MAX || p->size + out > OUT_MAX)
			break;
		p->len += n;
		p->size += out;
		// The window the context keeps, as far as the frame fills it, and a
		// block of input.
		p->state = std::max<uint64_t>(p->state, std::min(window, out) + (128 << 10));
		uint64_t s = skippables(p->at + p->len);
		const unsigned char *m = cut_look(p->at + p->len + s, 4);
		if (s > 0 && (m == nullptr || !starts(zstd_unit, m, 4)))
			break; // the ordinary reading takes them, and what follows
		p->len += s;
	}
	return p->len > 0;
}

static bool start(uint64_t, uint64_t size)
{
	input_size = size;
	return true;
}

static void drop()
{
	if (dctx != nullptr)
		zs.free(dctx);
	dctx = nullptr;
}

static const cutter cuts = {start, scan, cut_streams, nullptr, nullptr, drop, true, false, true};

const unit zstd_unit = {
	"zstd", {{4, {0x28, 0xb5, 0x2f, 0xfd}}, {0, {}}}, 0, true, false, begin, run, nullptr,
	&cuts,
};
