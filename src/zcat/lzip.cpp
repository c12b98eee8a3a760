// lzip: one member per stream, on lzlib. lzlib copies its input into a
// buffer of its own and would go on into the next member by itself, so the
// bytes it holds but has not used stay in f->in wherever they may belong to
// what follows, and the member ends where lzlib's count of used bytes says.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <lzlib.h>

#include "io.h"
#include "lib.h"
#include "unit.h"

static struct {
	decltype(&LZ_decompress_open) open;
	decltype(&LZ_decompress_close) close;
	decltype(&LZ_decompress_reset) reset;
	decltype(&LZ_decompress_finish) finish;
	decltype(&LZ_decompress_read) read;
	decltype(&LZ_decompress_write) write;
	decltype(&LZ_decompress_write_size) write_size;
	decltype(&LZ_decompress_errno) error;
	decltype(&LZ_decompress_member_finished) member_finished;
	decltype(&LZ_decompress_total_in_size) total_in;
	decltype(&LZ_strerror) strerror;
} lz;

static const symbol symbols[] = {
	{"LZ_decompress_open", slot(lz.open)},
	{"LZ_decompress_close", slot(lz.close)},
	{"LZ_decompress_reset", slot(lz.reset)},
	{"LZ_decompress_finish", slot(lz.finish)},
	{"LZ_decompress_read", slot(lz.read)},
	{"LZ_decompress_write", slot(lz.write)},
	{"LZ_decompress_write_size", slot(lz.write_size)},
	{"LZ_decompress_errno", slot(lz.error)},
	{"LZ_decompress_member_finished", slot(lz.member_finished)},
	{"LZ_decompress_total_in_size", slot(lz.total_in)},
	{"LZ_strerror", slot(lz.strerror)},
};

constexpr size_t HEADER = 6; // "LZIP", version, coded dictionary size

static bool loaded;
// Each thread decodes members of its own.
static thread_local LZ_Decoder *dec;
static thread_local unsigned char head[HEADER]; // read here first, to check before lzlib allocates
static thread_local size_t head_got;
static thread_local unsigned long long fed; // bytes given to lzlib in this member
static thread_local size_t ahead;           // f->in[0..ahead) are given to lzlib already
static thread_local char message[80];

static const char *begin()
{
	if (!loaded) {
		const char *why = lib_load("liblz.so.1", symbols);
		if (why != nullptr)
			return why;
		loaded = true;
	}
	if (dec == nullptr) {
		LZ_Decoder *d = lz.open();
		if (lz.error(d) != LZ_ok) {
			lz.close(d);
			return "lzlib: out of memory";
		}
		dec = d;
	}
	lz.reset(dec);
	head_got = 0;
	fed = 0;
	ahead = 0;
	return nullptr;
}

// The header's faults, in lzip's words; the dictionary is lzlib's window.
static const char *check_header()
{
	if (head[4] != 1) {
		(void)snprintf(message, sizeof message, "version %d member format not supported",
			       head[4]);
		return message;
	}
	unsigned bits = head[5] & 0x1fU;
	if (bits < 12 || bits > 29)
		return "invalid dictionary size in member header";
	// As lzip and lzlib: no fraction comes off the smallest size.
	unsigned long size = 1UL << bits;
	if (bits > 12)
		size -= (size / 16) * (head[5] >> 5);
	if (size > 1UL << WINDOW_LOG_MAX) {
		(void)snprintf(message, sizeof message,
			       "needs a %lu MiB dictionary, more than %lu MiB allowed", size >> 20,
			       (1UL << WINDOW_LOG_MAX) >> 20);
		return message;
	}
	return nullptr;
}

// Lets go of the first n bytes of f->in, which lzlib has.
static void release(flow *f, size_t n)
{
	f->in += n;
	f->in_left -= n;
	ahead -= n;
}

static step run(flow *f)
{
	if (head_got < HEADER) {
		while (head_got < HEADER && f->in_left > 0) {
			head[head_got++] = *f->in++;
			f->in_left--;
		}
		if (head_got < HEADER)
			return STEP_MORE;
		const char *bad = check_header();
		if (bad != nullptr)
			return fail(f, bad);
		// A fresh decoder takes 64 KiB: all six go in.
		if (lz.write(dec, head, HEADER) != (int)HEADER)
			return fail(f, lz.strerror(lz.error(dec)));
		fed = HEADER;
	}
	for (;;) {
		size_t avail = f->in_left - ahead;
		int room = lz.write_size(dec);
		int wrote = 0;
		if (avail > 0 && room > 0) {
			int n = avail < (size_t)room ? (int)avail : room;
			wrote = lz.write(dec, f->in + ahead, n);
			if (wrote < 0)
				return fail(f, lz.strerror(lz.error(dec)));
			ahead += (size_t)wrote;
			fed += (size_t)wrote;
		} else if (avail == 0 && f->last) {
			lz.finish(dec);
		}
		int got = lz.read(dec, f->out, f->out_left < INT_MAX ? (int)f->out_left : INT_MAX);
		if (got < 0) {
			LZ_Errno e = lz.error(dec);
			if (e == LZ_unexpected_eof) {
				release(f, ahead); // the caller says the input was cut short
				return STEP_MORE;
			}
			if (e == LZ_data_error)
				return fail(f, "invalid compressed data--format violated");
			return fail(f, lz.strerror(e));
		}
		f->out += got;
		f->out_left -= (size_t)got;
		unsigned long long unused = fed - lz.total_in(dec);
		if (lz.member_finished(dec) == 1) {
			// What lzlib holds past the member must still be in f->in.
			if (unused > ahead)
				return fail(f, "lzlib: read past the end of the member");
			release(f, ahead - (size_t)unused);
			return STEP_END;
		}
		if (wrote > 0 || got > 0)
			continue;
		if (f->out_left == 0) {
			// Unused bytes may be the next stream's: keep them in f->in.
			release(f, ahead - (unused < ahead ? (size_t)unused : ahead));
			return STEP_MORE;
		}
		if (avail == 0) {
			// lzlib waits for more of this member: all it holds is in it.
			release(f, ahead);
			return STEP_MORE;
		}
		return fail(f, "lzlib: no progress");
	}
}

// Members, found from the end back to the first by each trailer's member
// size, each where a header starts: [start, data size], the last first.
constexpr size_t MEMBERS_MAX = 1 << 16;
static uint64_t (*members)[2];
static size_t members_left;
static uint64_t input_size;

static void stop()
{
	free(members);
	members = nullptr;
}

static bool start(uint64_t at, uint64_t size)
{
	members = static_cast<uint64_t(*)[2]>(malloc(MEMBERS_MAX * sizeof *members));
	members_left = 0;
	input_size = size;
	for (uint64_t end = size; end > at && members != nullptr;) {
		const unsigned char *t = end - at >= 36 ? cut_look(end - 20, 20) : nullptr;
		uint64_t n =
			t != nullptr ? cut_le(t + 12, 4) | (uint64_t)cut_le(t + 16, 4) << 32 : 0;
		if (n < 36 || n > end - at || members_left == MEMBERS_MAX)
			break;
		members[members_left][1] = cut_le(t + 4, 4) | (uint64_t)cut_le(t + 8, 4) << 32;
		end -= n;
		const unsigned char *h = cut_look(end, 4);
		if (h == nullptr || memcmp(h, "LZIP", 4) != 0)
			break;
		members[members_left++][0] = end;
		if (end == at && members_left > 1)
			return true;
	}
	stop();
	return false;
}

static bool scan(piece *p)
{
	while (p->len < p->want && members_left > 0) {
		const uint64_t *m = members[members_left - 1];
		uint64_t end = members_left > 1 ? members[members_left - 2][0] : input_size;
		const unsigned char *h = cut_look(m[0], HEADER);
		if (h == nullptr || end - m[0] > PIECE_MAX - p->len || m[1] > OUT_MAX - p->size)
			break;
		p->len += end - m[0];
		p->size += m[1];
		// The dictionary, as far as the member fills it, and lzlib's input.
		uint64_t dict = uint64_t{1} << (h[5] & 0x1f);
		p->state = std::max<uint64_t>(p->state, std::min(dict, m[1]) + (64 << 10));
		members_left--;
	}
	return p->len > 0;
}

static void drop()
{
	if (dec != nullptr)
		lz.close(dec);
	dec = nullptr;
}

static const cutter cuts = {start, scan, cut_streams, nullptr, stop, drop, true, false};

const unit lzip_unit = {
	"lzip", {{4, {'L', 'Z', 'I', 'P'}}, {}}, 0, false, false, begin, run, nullptr, &cuts};
