// xz: one .xz stream per begin(), decoded by liblzma, loaded the first time
// an xz stream turns up. The driver takes the stream padding and whatever
// follows, so the decoder stops at the stream's footer. And the legacy
// .lzma format, which the same library reads.
#include "io.h"
#include "lib.h"
#include "unit.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <lzma.h>

static struct {
	decltype(&lzma_stream_decoder) stream_decoder;
	decltype(&lzma_alone_decoder) alone_decoder;
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

static const char *load()
{
	if (loaded)
		return nullptr;
	const symbol symbols[] = {
		{"lzma_stream_decoder", slot(lz.stream_decoder)},
		{"lzma_alone_decoder", slot(lz.alone_decoder)},
		{"lzma_code", slot(lz.code)},
		{"lzma_memusage", slot(lz.memusage)},
	};
	const char *error = lib_load("liblzma.so.5", symbols);
	loaded = error == nullptr;
	return error;
}

static const char *begin()
{
	if (const char *error = load())
		return error;
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

// .lzma: a properties byte, a 4-byte dictionary size and an 8-byte
// uncompressed size, then LZMA data, which end at that size or at an end
// marker, with no check. Its properties byte is (pb * 5 + lp) * 9 + lc,
// below 225 (0x5d, lc 3, lp 0, pb 2, at every preset of xz), and xz rounds
// the dictionary up to 2^n or 2^n + 2^(n-1), 4 KiB at least: its low byte,
// the second of the file, is 0, which no text and no other format's magic
// has there.
static bool lzma_claims(const unsigned char *p, size_t n)
{
	if (n < 5 || p[0] >= 225 || p[1] != 0)
		return false;
	uint32_t d = (uint32_t)p[2] << 8 | (uint32_t)p[3] << 16 | (uint32_t)p[4] << 24;
	uint32_t low = d & (~d + 1);
	return d != 0 && (d == low || d == 3 * low);
}

static bool lzma_ended;

// liblzma 5.4 calls a stream of known size with an end marker corrupt
// where its input is split within the marker. The last HOLD bytes come
// through `stage` only with more after them, or at the input's end, so no
// split falls that close to the end. A call each 4 KiB cost 2 %.
constexpr size_t HOLD = 64, STAGE = 64 << 10;
static unsigned char stage[STAGE];
static size_t stage_at, stage_len;

static const char *lzma_begin()
{
	if (const char *error = load())
		return error;
	lzma_ended = false;
	stage_at = stage_len = 0;
	lzma_ret r = lz.alone_decoder(&strm, MEM_LIMIT);
	return r == LZMA_OK ? nullptr : why(r);
}

static step lzma_run(flow *f)
{
	while (!lzma_ended) {
		memmove(stage, stage + stage_at, stage_len - stage_at);
		stage_len -= stage_at;
		stage_at = 0;
		size_t n = std::min(STAGE - stage_len, f->in_left);
		memcpy(stage + stage_len, f->in, n);
		f->in += n;
		f->in_left -= n;
		stage_len += n;
		bool end = f->last && f->in_left == 0;
		size_t give = end ? stage_len : stage_len - std::min(stage_len, HOLD);
		if (give == 0 && !end)
			return STEP_MORE;
		flow g = {stage, give, f->out, f->out_left, end, nullptr};
		step s = run(&g);
		stage_at = (size_t)(g.in - stage);
		f->out = g.out;
		f->out_left = g.out_left;
		if (s == STEP_END) {
			lzma_ended = true;
		} else if (s != STEP_MORE) {
			f->error = g.error;
			return s;
		} else if (f->out_left == 0 || f->in_left == 0) {
			return STEP_MORE;
		}
	}
	// Without a check, a byte after the end says the end, or the size in
	// the header, is not what was written: xz too calls it corrupt.
	if (f->in_left > 0 || stage_at < stage_len)
		return fail(f, why(LZMA_DATA_ERROR));
	return f->last ? STEP_END : STEP_MORE;
}

const unit lzma_unit = {
	"lzma", {{0, {}}, {0, {}}}, 0, false, true, lzma_begin, lzma_run, lzma_claims,
};

// What the threads need to decode a stream's blocks on their own, loaded
// only for a file that has several.
static struct {
	decltype(&lzma_stream_footer_decode) footer;
	decltype(&lzma_stream_header_decode) header;
	decltype(&lzma_stream_flags_compare) compare;
	decltype(&lzma_check_is_supported) supported;
	decltype(&lzma_index_buffer_decode) index;
	decltype(&lzma_index_iter_init) iter_init;
	decltype(&lzma_index_iter_next) iter_next;
	decltype(&lzma_index_end) index_end;
	decltype(&lzma_block_header_decode) block_header;
	decltype(&lzma_block_compressed_size) compressed_size;
	decltype(&lzma_block_unpadded_size) unpadded_size;
	decltype(&lzma_block_decoder) block_decoder;
	decltype(&lzma_raw_decoder_memusage) raw_memusage;
	decltype(&lzma_end) end;
} bl;

struct record {
	uint64_t unpadded, size; // as the index has a block
};

// Loads what the rest needs; nullptr, or why not.
static const char *blocks_begin()
{
	static bool done;
	const symbol symbols[] = {
		{"lzma_stream_footer_decode", slot(bl.footer)},
		{"lzma_stream_header_decode", slot(bl.header)},
		{"lzma_stream_flags_compare", slot(bl.compare)},
		{"lzma_check_is_supported", slot(bl.supported)},
		{"lzma_index_buffer_decode", slot(bl.index)},
		{"lzma_index_iter_init", slot(bl.iter_init)},
		{"lzma_index_iter_next", slot(bl.iter_next)},
		{"lzma_index_end", slot(bl.index_end)},
		{"lzma_block_header_decode", slot(bl.block_header)},
		{"lzma_block_compressed_size", slot(bl.compressed_size)},
		{"lzma_block_unpadded_size", slot(bl.unpadded_size)},
		{"lzma_block_decoder", slot(bl.block_decoder)},
		{"lzma_raw_decoder_memusage", slot(bl.raw_memusage)},
		{"lzma_end", slot(bl.end)},
	};
	const char *error = done ? nullptr : lib_load("liblzma.so.5", symbols);
	done = error == nullptr;
	return error;
}

// Whether the stream footer f[0..12) is well formed, with a check this
// liblzma computes; the index's size and the check then.
static bool footer(const unsigned char *f, uint64_t *index_size, unsigned *check)
{
	lzma_stream_flags flags;
	if (bl.footer(&flags, f) != LZMA_OK || !bl.supported(flags.check))
		return false;
	*index_size = flags.backward_size;
	*check = flags.check;
	return true;
}

// Whether the stream header h[0..12) is well formed and agrees with f's.
static bool header(const unsigned char *h, const unsigned char *f)
{
	lzma_stream_flags head, foot;
	return bl.header(&head, h) == LZMA_OK && bl.footer(&foot, f) == LZMA_OK &&
	       bl.compare(&head, &foot) == LZMA_OK;
}

// The index p[0..n)'s records, at most max, into r: their count, or -1
// where it is not an index, whole and checked, or holds more.
static long read_index(const unsigned char *p, size_t n, record *r, size_t max)
{
	lzma_index *index = nullptr;
	uint64_t limit = MEM_LIMIT;
	size_t at = 0;
	if (bl.index(&index, &limit, nullptr, p, &at, n) != LZMA_OK)
		return -1;
	lzma_index_iter it;
	bl.iter_init(&it, index);
	long k = 0;
	for (; !bl.iter_next(&it, LZMA_INDEX_ITER_BLOCK); k++) {
		if ((size_t)k == max) {
			k = -1;
			break;
		}
		r[k] = {it.block.unpadded_size, it.block.uncompressed_size};
	}
	bl.index_end(index, nullptr);
	return at == n ? k : -1;
}

// A block's input is read a little at a time, into the thread's cut_chunk():
// it is mostly far larger than its dictionary, and the pieces in flight
// would hold it all.

// One block, the `total` bytes from `at` of the input, decoded to exactly
// the sizes its record gives.
static bool block(uint64_t at, uint64_t total, const record &r, unsigned check, unsigned char *out,
		  unsigned char *chunk)
{
	const unsigned char *in;
	uint64_t done = cut_bytes(at, (size_t)std::min<uint64_t>(total, IN_BUF), chunk, &in);
	lzma_filter filters[LZMA_FILTERS_MAX + 1];
	lzma_block b{};
	b.version = 1;
	b.check = static_cast<lzma_check>(check);
	b.filters = filters;
	b.header_size = done > 0 ? lzma_block_header_size_decode(in[0]) : 0;
	if (done == 0 || b.header_size > done || bl.block_header(&b, nullptr, in) != LZMA_OK)
		return false;
	bool ok = bl.raw_memusage(filters) <= MEM_LIMIT &&
		  bl.compressed_size(&b, r.unpadded) == LZMA_OK &&
		  (b.uncompressed_size == LZMA_VLI_UNKNOWN || b.uncompressed_size == r.size);
	b.uncompressed_size = r.size;
	ok = ok && bl.block_decoder(&strm, &b) == LZMA_OK;
	// As liblzma's own stream decoder: the options are the decoder's now.
	for (size_t i = 0; filters[i].id != LZMA_VLI_UNKNOWN; i++)
		free(filters[i].options);
	if (!ok)
		return false;
	strm.next_in = in + b.header_size;
	strm.avail_in = done - b.header_size;
	strm.next_out = out;
	strm.avail_out = r.size;
	lzma_ret ret;
	do {
		if (strm.avail_in == 0 && done < total) {
			size_t n = cut_bytes(at + done,
					     (size_t)std::min<uint64_t>(total - done, IN_BUF),
					     chunk, &in);
			if (n == 0)
				return false;
			strm.next_in = in;
			strm.avail_in = n;
			done += n;
		}
	} while ((ret = lz.code(&strm, LZMA_RUN)) == LZMA_OK);
	return ret == LZMA_STREAM_END && strm.avail_in == 0 && done == total &&
	       strm.avail_out == 0 && bl.unpadded_size(&b) == r.unpadded &&
	       b.uncompressed_size == r.size;
}

// Decodes the k blocks that the n bytes from `at` hold, each to exactly its
// record's sizes, into out; false unless each did, checked, and they fill in.
static bool blocks(uint64_t at, uint64_t n, const record *r, size_t k, unsigned check,
		   unsigned char *out)
{
	unsigned char *chunk = cut_chunk();
	if (chunk == nullptr)
		return false;
	for (size_t i = 0; i < k; i++) {
		uint64_t total = (r[i].unpadded + 3) & ~uint64_t{3};
		if (total > n || total == 0 || !block(at, total, r[i], check, out, chunk))
			return false;
		at += total;
		n -= total;
		out += r[i].size;
	}
	return n == 0;
}

// xz streams, found from the end back to the first by each footer and
// index, each where a header that agrees with its footer starts; the last
// first, its blocks' records in recs from `first` on.
constexpr size_t RECORDS_MAX = 1 << 16, STREAMS_MAX = 1 << 10, INDEX_MAX = 1 << 20;
struct stream {
	uint64_t start, end; // of its header, past its footer
	size_t first, count;
	unsigned check;
};
static record *recs;
static stream *streams;
static size_t streams_left, block_next; // the stream and block that the next piece starts with
static uint64_t skipped, taken_in;      // the content, and the bytes, of the stream's blocks before
static uint64_t input_at;

// A piece's blocks: their records, and the stream's check.
static struct {
	const record *rec;
	size_t blocks;
	unsigned check;
} parts[SLOTS_MAX];

static void stop()
{
	free(recs);
	free(streams);
	recs = nullptr;
	streams = nullptr;
}

// Whether the file from `at` to its end is xz streams and their padding,
// of more than one block.
static bool start(uint64_t at, uint64_t size)
{
	recs = static_cast<record *>(malloc(RECORDS_MAX * sizeof *recs));
	streams = static_cast<stream *>(malloc(STREAMS_MAX * sizeof *streams));
	auto *idx = static_cast<unsigned char *>(malloc(INDEX_MAX));
	size_t nrec = 0;
	streams_left = 0;
	bool ok = blocks_begin() == nullptr && recs != nullptr && streams != nullptr &&
		  idx != nullptr;
	for (uint64_t end = size; ok && end > at;) {
		// Stream padding; a great deal of it is left to the ordinary reading.
		for (uint64_t pad = 0; pad < INDEX_MAX && end - at > 4; pad += 4, end -= 4) {
			const unsigned char *z = cut_look(end - 4, 4);
			if (z == nullptr || cut_le(z, 4) != 0)
				break;
		}
		unsigned char foot[12];
		const unsigned char *f = end - at >= 24 ? cut_look(end - 12, 12) : nullptr;
		uint64_t isize = 0, total = 0;
		unsigned check = 0;
		ok = f != nullptr && streams_left < STREAMS_MAX;
		if (ok)
			memcpy(foot, f, 12);
		ok = ok && footer(foot, &isize, &check) && isize <= INDEX_MAX &&
		     isize <= end - at - 24;
		const unsigned char *p;
		long k = ok ? (long)cut_bytes(end - 12 - isize, isize, idx, &p) : 0;
		ok = ok && (uint64_t)k == isize;
		k = ok ? read_index(p, isize, recs + nrec, RECORDS_MAX - nrec) : -1;
		for (long i = 0; i < k; i++)
			total += (recs[nrec + i].unpadded + 3) & ~uint64_t{3};
		ok = k >= 0 && total <= end - at - 24 - isize;
		uint64_t first = end - 24 - isize - total;
		const unsigned char *h = ok ? cut_look(first, 12) : nullptr;
		ok = h != nullptr && header(h, foot);
		if (ok)
			streams[streams_left++] = {first, end, nrec, (size_t)k, check};
		nrec += ok ? (size_t)k : 0;
		end = first;
	}
	free(idx);
	block_next = 0;
	skipped = taken_in = 0;
	input_at = at;
	if (ok && nrec > 1)
		return true;
	stop();
	return false;
}

static bool scan(piece *p)
{
	for (; streams_left > 0; streams_left--, block_next = 0, skipped = taken_in = 0) {
		const stream &st = streams[streams_left - 1];
		bool first = st.start == input_at;
		p->back = {first ? input_at : streams[streams_left].end, skipped, !first};
		if (block_next == st.count)
			continue;
		p->at = st.start + 12 + taken_in;
		auto &part = parts[p->slot];
		part = {recs + st.first + block_next, 0, st.check};
		while (p->len < p->want && block_next < st.count) {
			const record &r = recs[st.first + block_next];
			uint64_t total = (r.unpadded + 3) & ~uint64_t{3};
			if (total > PIECE_MAX - p->len || r.size > OUT_MAX - p->size)
				break;
			p->len += total;
			p->size += r.size;
			// The dictionary, as far as the block fills it.
			p->state = r.size > p->state ? r.size : p->state;
			part.blocks++;
			block_next++;
		}
		skipped += p->size;
		taken_in += p->len;
		return part.blocks > 0;
	}
	// Past the last stream: its padding, and what follows.
	p->back = {streams[0].end, 0, true};
	return false;
}

static bool work(piece *p)
{
	const auto &part = parts[p->slot];
	if (!cut_room(p, p->size) ||
	    !blocks(p->at, p->len, part.rec, part.blocks, part.check, p->out))
		return false;
	p->out_len = p->size;
	return true;
}

// The dictionary of the last block the thread decoded, and the rest.
static void drop() { bl.end(&strm); }

static const cutter cuts = {start, scan, work, nullptr, stop, drop, false, false, true};

const unit xz_unit = {
	"xz",  {{6, {0xfd, '7', 'z', 'X', 'Z', 0}}, {0, {}}}, 4, false, false, begin, run, nullptr,
	&cuts,
};
