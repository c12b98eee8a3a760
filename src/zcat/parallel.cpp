// A large file whose format cuts it into units that decode on their own
// (BGZF members, zstd frames, lzip members, xz blocks) is decoded a piece
// of whole units a thread, the pieces written in order. A piece counts
// only when every unit in it decoded whole, each followed by the next
// one's first byte and the last by the piece's end; at the first that is
// not, or at anything the scan does not expect, the ordinary reading takes
// over where that piece begins, the output it wrote already dropped (for
// xz blocks, at their stream's start, all that was written of it
// dropped). So the bytes written and the status are those of one thread
// for every input, as long as what a unit writes before a fault does not
// hang on how its input is cut (the fuzzer compares), and a hostile input
// costs at most the pieces decoded in vain. Standard input and pipes are
// read on one thread: a piece needs its bytes read ahead, and its place
// known, before the pieces before it are decoded.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include "bzip2.h"
#include "io.h"
#include "xz.h"

namespace {

// A piece's compressed bytes at most, those scanned for its units at once,
// and its output at most; a unit larger is decoded on one thread.
constexpr size_t PIECE_MAX = 16 << 20, PIECE_SCAN = 256 << 10, OUT_MAX = 32 << 20;
// BGZF members hold 64 KiB at most: a piece of some 32 KiB of them, found
// in 96 KiB read at once, keeps memory as low as the members' own tools.
constexpr size_t BGZF_PIECE = 32 << 10, BGZF_READ = 96 << 10;
constexpr unsigned THREADS_MAX = 64;
// bzip2: the compressed bytes a piece is given at least, as much as a
// block of 900 kB of text takes, and its blocks at most.
constexpr size_t BZ2_PIECE = 64 << 10, BZ2_CUTS = 16, BZ2_TINY = 4 << 10;
constexpr unsigned BZ2_TINY_RUN = 16;

enum state : unsigned char { FREE, QUEUED, BUSY, DONE };

// Where the ordinary reading takes over: at `at` of the input, as just
// after a stream if `after`, with the first `skip` bytes of output dropped.
struct handover {
	uint64_t at, skip;
	bool after;
};

struct piece {
	uint64_t at, len;     // its bytes in the input
	uint64_t size;        // its output, as the units declare it, or 0
	handover back;        // should this piece fail
	const xz_record *rec; // xz: its blocks' records
	size_t blocks;
	unsigned check;
	// bzip2: where its blocks start, in bits from at's first, and where
	// the last ends; the CRCs of those decoded, combined, and their count;
	// the stream's, where the piece ends it.
	uint32_t cut[BZ2_CUTS + 1];
	unsigned cuts, units;
	uint32_t crc, stream_crc;
	char level;
	bool ends;
	const unsigned char *data; // its bytes: in, or the input in memory
	unsigned char *in, *out;
	size_t in_cap, out_cap, out_len;
	uint64_t seq;
	state st;
	bool ok, broken; // broken: a write failed, said
};

piece slots[THREADS_MAX + 1];
unsigned nslots;
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t queued = PTHREAD_COND_INITIALIZER, finished = PTHREAD_COND_INITIALIZER;
uint64_t turn;    // the piece to be written next
bool stream_head; // whether a unit's output may be written before it ends
unsigned started; // threads, kept for later inputs
unsigned wanted;  // parallel_threads()
size_t piece_min = PIECE_SCAN;
const unit *work_unit;
bool (*scan)(piece *); // the next piece of the input; false where there is none
bool (*work)(piece *); // decodes it; false unless it is whole and as scanned
// What only the pieces taken in order can check, with the handover each
// gets from those before: false where the piece is not to be written.
bool (*in_order)(piece *);
// Where the ordinary reading takes over, should scan() make no piece.
handover over;

uint32_t le(const unsigned char *p, int n)
{
	uint32_t v = 0;
	while (n-- > 0)
		v = v << 8 | p[n];
	return v;
}

bool grow(piece *p, size_t need)
{
	if (need <= p->out_cap)
		return true;
	size_t cap = p->out_cap * 2 > need ? p->out_cap * 2 : need;
	cap = cap < OUT_MAX ? cap : OUT_MAX;
	if (cap < need)
		return false;
	auto *q = static_cast<unsigned char *>(realloc(p->out, cap));
	if (q == nullptr)
		return false;
	p->out = q;
	p->out_cap = cap;
	return true;
}

// While its piece is the next to be written, a thread writes what it has
// made itself, every STEP, and goes on in the same room, so that output
// waits only in the pieces after it. Within a unit only where what the
// unit writes before a fault does not hang on how its input is cut: the
// zstd unit's blocks, lzlib. Pages that held more than KEEP are given
// back once written: to fault them in again costs less than a member of
// lzip takes to decode, and a zstd frame of pzstd's fits.
constexpr size_t STEP = 256 << 10, KEEP = 8 << 20;

// p->out[0..made) is written: what of it lies past KEEP is given back.
void give_back(const piece *p, size_t made)
{
	// Whole pages only, counted from p->out's page.
	size_t skew = (uintptr_t)p->out % 4096, from = (KEEP + skew + 4095) / 4096 * 4096,
	       to = (made + skew) / 4096 * 4096;
	if (to > from)
		(void)madvise(p->out + (from - skew), to - from, MADV_DONTNEED);
}

size_t pass(piece *p, size_t made, bool whole)
{
	if (made == 0 || (!whole && !stream_head))
		return made;
	pthread_mutex_lock(&lock);
	bool head = p->seq == turn;
	pthread_mutex_unlock(&lock);
	if (!head)
		return made;
	if (!output(p->out, made)) {
		p->broken = true;
		return made;
	}
	p->back.skip += made; // the ordinary reading has it already, should p fail
	give_back(p, made);
	return 0;
}

// A piece of whole streams of u, each right after the one before, as the
// ordinary reading would take them.
bool streams(piece *p)
{
	const unit &u = *work_unit;
	if (!grow(p, std::min<uint64_t>(p->size, STEP) + 4096))
		return false;
	flow f = {p->data, p->len, p->out, 0, true, nullptr};
	size_t made = 0; // p->out[0..made) is not written yet
	for (;;) {
		if (u.begin() != nullptr)
			return false;
		step s;
		for (;;) {
			f.out = p->out + made;
			f.out_left = std::min(p->out_cap - made, STEP);
			s = u.run(&f);
			made = (size_t)(f.out - p->out);
			if (s != STEP_MORE || f.out_left > 0)
				break;
			made = pass(p, made, false);
			if (p->broken || !grow(p, made + 1))
				return false;
		}
		if (s != STEP_END)
			return false;
		if (f.in_left == 0)
			break;
		// As follows() and skip_frames() take what follows a stream.
		while (u.skippable && skippable(f.in, f.in_left)) {
			if (f.in_left < 8 || f.in_left - 8 < le(f.in + 4, 4))
				return false;
			size_t n = 8 + le(f.in + 4, 4);
			f.in += n;
			f.in_left -= n;
		}
		if (f.in_left == 0)
			break;
		if (!starts(u, f.in, f.in_left))
			return false;
	}
	p->out_len = pass(p, made, true);
	return !p->broken;
}

void *worker(void *)
{
	pthread_mutex_lock(&lock);
	for (;;) {
		piece *p = nullptr;
		for (unsigned i = 0; i < nslots; i++)
			if (slots[i].st == QUEUED && (p == nullptr || slots[i].seq < p->seq))
				p = &slots[i];
		if (p == nullptr) {
			pthread_cond_wait(&queued, &lock);
			continue;
		}
		p->st = BUSY;
		pthread_mutex_unlock(&lock);
		bool ok = work(p);
		pthread_mutex_lock(&lock);
		p->ok = ok;
		p->st = DONE;
		pthread_cond_broadcast(&finished);
	}
}

unsigned threads()
{
	if (wanted > 0)
		return wanted < THREADS_MAX ? wanted : THREADS_MAX;
	cpu_set_t set;
	if (sched_getaffinity(0, sizeof set, &set) != 0)
		return 1;
	auto n = static_cast<unsigned>(CPU_COUNT(&set));
	return n < THREADS_MAX ? n : THREADS_MAX;
}

whole in;

// Up to n bytes of the input at `at`, in buf or in the input in memory.
size_t bytes(uint64_t at, size_t n, unsigned char *buf, const unsigned char **p)
{
	n = at >= in.size ? 0 : in.size - at < n ? (size_t)(in.size - at) : n;
	if (in.fd < 0) {
		*p = in.mem + at;
		return n;
	}
	*p = buf;
	size_t got = 0;
	while (got < n) {
		ssize_t r = pread(in.fd, buf + got, n - got, (off_t)(at + got));
		if (r <= 0)
			break; // the ordinary reading says why, or finds the file shorter
		got += (size_t)r;
	}
	return got;
}

// The piece's bytes, read into p->in.
bool load(piece *p)
{
	if (in.fd >= 0 && p->in_cap < p->len) {
		auto *q = static_cast<unsigned char *>(realloc(p->in, p->len));
		if (q == nullptr)
			return false;
		p->in = q;
		p->in_cap = p->len;
	}
	return bytes(p->at, p->len, p->in, &p->data) == p->len;
}

// The length of the BGZF member that p[0..n) starts, or 0: its header says
// it is one, and how long it is.
size_t bgzf(const unsigned char *p, size_t n)
{
	if (n < 18 || p[0] != 0x1f || p[1] != 0x8b || p[2] != 8 || (p[3] & 4) == 0)
		return 0;
	size_t end = 12 + le(p + 10, 2);
	for (size_t i = 12; i + 6 <= end && end <= n; i += 4 + le(p + i + 2, 2))
		if (p[i] == 'B' && p[i + 1] == 'C' && le(p + i + 2, 2) == 2) {
			size_t len = le(p + i + 4, 2) + 1;
			return len >= end + 8 ? len : 0;
		}
	return 0;
}

uint64_t next_at; // where the next piece starts
uint64_t pieces;  // made so far

// The next piece of BGZF members, read; false where none is.
bool scan_bgzf(piece *p)
{
	if (in.fd >= 0 && p->in_cap < BGZF_READ) {
		free(p->in);
		p->in = static_cast<unsigned char *>(malloc(BGZF_READ));
		p->in_cap = p->in == nullptr ? 0 : BGZF_READ;
	}
	const unsigned char *d;
	size_t n = bytes(next_at, in.fd >= 0 ? p->in_cap : BGZF_READ, p->in, &d), len = 0;
	size_t want = std::min(piece_min, BGZF_PIECE);
	p->size = 0;
	for (size_t m; len < want && (m = bgzf(d + len, n - len)) > 0 && m <= n - len;) {
		len += m;
		p->size += le(d + len - 4, 4);
	}
	p->at = next_at;
	p->len = len;
	p->data = d;
	return len > 0;
}

// n bytes at `at`, at most 64, through a small window of the input, as
// the scans look at headers spread over it; nullptr past its end.
unsigned char win[4096];
uint64_t win_at, win_len;

const unsigned char *look(uint64_t at, size_t n)
{
	if (at > in.size || in.size - at < n)
		return nullptr;
	if (in.fd < 0)
		return in.mem + at;
	if (at < win_at || at + n > win_at + win_len) {
		const unsigned char *p;
		win_at = at;
		win_len = bytes(at, sizeof win, win, &p);
		if (win_len < n)
			return nullptr;
	}
	return win + (at - win_at);
}

// The length of the zstd frame at `at`, and its content's size, or 0
// where it does not say; 0 where no whole frame is there.
uint64_t zstd_frame(uint64_t at, uint64_t *size)
{
	const unsigned char *p = look(at, 18);
	if (p == nullptr || le(p, 4) != 0xfd2fb528 || (p[4] & 8) != 0)
		return 0;
	unsigned fcs = p[4] >> 6, single = p[4] >> 5 & 1;
	static const unsigned char id_len[] = {0, 1, 2, 4}, fcs_len[] = {0, 2, 4, 8};
	size_t fcs_at = 5 + (1 - single) + id_len[p[4] & 3];
	size_t n = fcs == 0 ? single : fcs_len[fcs];
	*size = 0;
	if (n > 0)
		*size = n == 8 ? le(p + fcs_at, 4) | (uint64_t)le(p + fcs_at + 4, 4) << 32
			       : le(p + fcs_at, (int)n) + (n == 2 ? 256 : 0);
	bool sum = (p[4] & 4) != 0;
	// A block larger than the window is refused or not by libzstd as its
	// buffers happen to stand after the frames before: one thread's call.
	uint64_t window = single != 0 ? *size : (1024ULL << (p[5] >> 3)) / 8 * (8 + (p[5] & 7));
	uint64_t block_max = window < (128 << 10) ? window : 128 << 10, o = at + fcs_at + n;
	for (;;) {
		const unsigned char *b = look(o, 3);
		if (b == nullptr || (b[0] >> 1 & 3) == 3 || le(b, 3) >> 3 > block_max)
			return 0;
		uint32_t h = le(b, 3);
		o += 3 + ((h >> 1 & 3) == 1 ? 1 : h >> 3);
		if (o - at > PIECE_MAX)
			return 0;
		if ((h & 1) != 0)
			break;
	}
	o += sum ? 4 : 0;
	return o <= in.size ? o - at : 0;
}

// The length of the skippable frames at `at`, whole; 0 where none is.
uint64_t skippables(uint64_t at)
{
	uint64_t o = at;
	for (const unsigned char *p; (p = look(o, 8)) != nullptr && skippable(p, 8);)
		o += 8 + (uint64_t)le(p + 4, 4);
	return o <= in.size ? o - at : 0;
}

// The next piece of zstd frames, with the skippable frames between them.
bool scan_zstd(piece *p)
{
	p->at = next_at;
	p->len = p->size = 0;
	while (p->len < piece_min) {
		uint64_t size, n = zstd_frame(p->at + p->len, &size);
		if (n == 0 || p->len + n > PIECE_MAX ||
		    p->size + (size > 0 ? size : 4 * n) > OUT_MAX)
			break;
		p->len += n;
		p->size += size > 0 ? size : 4 * n;
		uint64_t s = skippables(p->at + p->len);
		const unsigned char *m = look(p->at + p->len + s, 4);
		if (s > 0 && (m == nullptr || !starts(zstd_unit, m, 4)))
			break; // the ordinary reading takes them, and what follows
		p->len += s;
	}
	return p->len > 0;
}

// lzip members, found from the end back to the first by each trailer's
// member size, each where a header starts: [start, data size], the last first.
constexpr size_t MEMBERS_MAX = 1 << 16;
uint64_t (*members)[2];
size_t members_left;

bool walk_lzip()
{
	members = static_cast<uint64_t(*)[2]>(malloc(MEMBERS_MAX * sizeof *members));
	members_left = 0;
	for (uint64_t end = in.size; end > in.at && members != nullptr;) {
		const unsigned char *t = end - in.at >= 36 ? look(end - 20, 20) : nullptr;
		uint64_t size = t != nullptr ? le(t + 12, 4) | (uint64_t)le(t + 16, 4) << 32 : 0;
		if (size < 36 || size > end - in.at || members_left == MEMBERS_MAX)
			return false;
		members[members_left][1] = le(t + 4, 4) | (uint64_t)le(t + 8, 4) << 32;
		end -= size;
		const unsigned char *h = look(end, 4);
		if (h == nullptr || memcmp(h, "LZIP", 4) != 0)
			return false;
		members[members_left++][0] = end;
	}
	return members_left > 1;
}

bool scan_lzip(piece *p)
{
	p->at = next_at;
	p->len = p->size = 0;
	while (p->len < piece_min && members_left > 0) {
		const uint64_t *m = members[members_left - 1];
		uint64_t end = members_left > 1 ? members[members_left - 2][0] : in.size;
		if (end - m[0] > PIECE_MAX - p->len || m[1] > OUT_MAX - p->size)
			break;
		p->len += end - m[0];
		p->size += m[1];
		members_left--;
	}
	return p->len > 0;
}

// xz streams, found from the end back to the first by each footer and
// index, each where a header that agrees with its footer starts; the last
// first, its blocks' records in recs from `first` on.
constexpr size_t RECORDS_MAX = 1 << 16, STREAMS_MAX = 1 << 10, INDEX_MAX = 1 << 20;
struct xz_stream {
	uint64_t start, end; // of its header, past its footer
	size_t first, count;
	unsigned check;
};
xz_record *recs;
xz_stream *streams_found;
size_t streams_left, block_next; // the stream and block that the next piece starts with
uint64_t skipped, taken_in;      // the content, and the bytes, of the stream's blocks before

// Whether the file from where the reading stands to its end is xz streams
// and their padding, of more than one block.
bool walk_xz()
{
	recs = static_cast<xz_record *>(malloc(RECORDS_MAX * sizeof *recs));
	streams_found = static_cast<xz_stream *>(malloc(STREAMS_MAX * sizeof *streams_found));
	auto *index = static_cast<unsigned char *>(malloc(INDEX_MAX));
	size_t nrec = 0;
	streams_left = 0;
	bool ok = recs != nullptr && streams_found != nullptr && index != nullptr;
	for (uint64_t end = in.size; ok && end > in.at;) {
		// Stream padding; a great deal of it is left to the ordinary reading.
		for (uint64_t pad = 0; pad < INDEX_MAX && end - in.at > 4; pad += 4, end -= 4) {
			const unsigned char *z = look(end - 4, 4);
			if (z == nullptr || le(z, 4) != 0)
				break;
		}
		unsigned char foot[12];
		const unsigned char *f = end - in.at >= 24 ? look(end - 12, 12) : nullptr;
		uint64_t isize = 0, total = 0;
		unsigned check = 0;
		ok = f != nullptr && streams_left < STREAMS_MAX;
		if (ok)
			memcpy(foot, f, 12);
		ok = ok && xz_footer(foot, &isize, &check) && isize <= INDEX_MAX &&
		     isize <= end - in.at - 24;
		const unsigned char *p;
		long k = ok ? (long)bytes(end - 12 - isize, isize, index, &p) : 0;
		ok = ok && (uint64_t)k == isize;
		k = ok ? xz_index(p, isize, recs + nrec, RECORDS_MAX - nrec) : -1;
		for (long i = 0; i < k; i++)
			total += (recs[nrec + i].unpadded + 3) & ~uint64_t{3};
		ok = k >= 0 && total <= end - in.at - 24 - isize;
		uint64_t start = end - 24 - isize - total;
		const unsigned char *h = ok ? look(start, 12) : nullptr;
		ok = h != nullptr && xz_header(h, foot);
		if (ok)
			streams_found[streams_left++] = {start, end, nrec, (size_t)k, check};
		nrec += ok ? (size_t)k : 0;
		end = start;
	}
	free(index);
	block_next = 0;
	skipped = taken_in = 0;
	return ok && nrec > 1;
}

bool scan_xz(piece *p)
{
	for (; streams_left > 0; streams_left--, block_next = 0, skipped = taken_in = 0) {
		const xz_stream &st = streams_found[streams_left - 1];
		bool first = st.start == in.at;
		over = {first ? in.at : streams_found[streams_left].end, skipped, !first};
		if (block_next == st.count)
			continue;
		p->at = st.start + 12 + taken_in;
		p->len = p->size = 0;
		p->rec = recs + st.first + block_next;
		p->blocks = 0;
		p->check = st.check;
		p->back = over;
		while (p->len < piece_min && block_next < st.count) {
			const xz_record &r = recs[st.first + block_next];
			uint64_t total = (r.unpadded + 3) & ~uint64_t{3};
			if (total > PIECE_MAX - p->len || r.size > OUT_MAX - p->size)
				break;
			p->len += total;
			p->size += r.size;
			p->blocks++;
			block_next++;
		}
		skipped += p->size;
		taken_in += p->len;
		return p->blocks > 0;
	}
	over = {streams_found[0].end, 0,
		true}; // past the last stream: its padding, and what follows
	return false;
}

bool blocks(piece *p)
{
	if (!grow(p, p->size) || !xz_blocks(p->data, p->len, p->rec, p->blocks, p->check, p->out))
		return false;
	p->out_len = p->size;
	return true;
}

// bzip2 blocks, found by their magic at any bit of the stream: a piece is
// a run of them, each decoded as a stream of its own. A magic can also
// turn up inside a block's data; a block that does not end exactly at the
// next one is joined to the block after it, once, within its piece. Where
// that fails too, or the block is its piece's last, the ordinary reading
// takes over from the stream's start: every block written began where the
// one before ended, so it is one that reading would find. A piece's output
// is unknown until it is decoded, so the handover's bytes to skip are
// counted as pieces are written, and the stream's CRC checked there. A
// piece holds no more blocks than decode to OUT_MAX at most, one at
// least, so output waiting for its turn holds at most OUT_MAX per slot, or
// one block's most (45.9 MB at level 9).
unsigned char bz2_buf[64 << 10];
uint64_t bz2_stream, bz2_next; // the stream's first byte, and the next piece's first bit or 0
char bz2_level;
bool bz2_over;
unsigned bz2_tiny;    // streams of one piece less than BZ2_TINY long, in a row
uint64_t bz2_written; // by the stream's pieces
uint32_t bz2_crc;

// The first bit of a magic at or after `from`, and before `limit`, or BZ2_NONE.
uint64_t bz2_scan(uint64_t from, uint64_t limit)
{
	for (uint64_t at = from / 8; at * 8 < limit; at += sizeof bz2_buf - 8) {
		const unsigned char *d;
		size_t n = bytes(at, sizeof bz2_buf, bz2_buf, &d);
		uint64_t b = bz2_find(d, n, from > at * 8 ? from - at * 8 : 0);
		if (b != BZ2_NONE)
			return at * 8 + b < limit ? at * 8 + b : BZ2_NONE;
		if (n < sizeof bz2_buf)
			break;
	}
	return BZ2_NONE;
}

// The most a block of the level decodes to: a run of 4 to 255 bytes is 5
// bytes of the block.
size_t bz2_most(char level) { return (size_t)(level - '0') * 100000 / 5 * 255; }

bool scan_bz2(piece *p)
{
	if (bz2_over)
		return false;
	if (bz2_next == 0) {
		over = {bz2_stream, 0, bz2_stream > in.at};
		const unsigned char *h = look(bz2_stream, 10);
		if (h == nullptr || memcmp(h, "BZh", 3) != 0 || h[3] < '1' || h[3] > '9' ||
		    bz2_bits(h, 32, 48) != BZ2_BLOCK)
			return false;
		bz2_level = static_cast<char>(h[3]);
		bz2_next = bz2_stream * 8 + 32;
	}
	p->back = {bz2_stream, 0, false};
	p->at = bz2_next / 8;
	p->level = bz2_level;
	p->ends = false;
	p->cuts = 0;
	uint64_t end = bz2_next, want = std::min(piece_min, BZ2_PIECE) * 8;
	size_t most = std::clamp(OUT_MAX / bz2_most(bz2_level), size_t{1}, BZ2_CUTS);
	while (!p->ends && p->cuts < most && end - bz2_next < want) {
		p->cut[p->cuts++] = static_cast<uint32_t>(end - p->at * 8);
		// The bit after: a magic in a block's last bits may overlap the
		// next block's, or stand less than a block's least before it.
		end = bz2_scan(end + 1, (p->at + PIECE_MAX) * 8);
		const unsigned char *m =
			end != BZ2_NONE ? look(end / 8, (end % 8 + 80 + 7) / 8) : nullptr;
		if (m == nullptr) {
			// Nothing the scan knows: a piece that fails, so that the
			// ordinary reading takes over from the stream's start.
			bz2_over = true;
			p->cuts = 0;
			p->len = 0;
			return true;
		}
		p->ends = bz2_bits(m, end % 8, 48) == BZ2_END;
		p->stream_crc = static_cast<uint32_t>(bz2_bits(m, end % 8 + 48, 32));
	}
	p->cut[p->cuts] = static_cast<uint32_t>(end - p->at * 8);
	p->len = (end + 7) / 8 - p->at;
	// A stream of a few bytes costs a thread more to be handed than to
	// decode: after a run of them the rest is read on one thread, from
	// this one's start (over).
	bool whole = p->ends && p->at * 8 + p->cut[0] == bz2_stream * 8 + 32;
	bz2_tiny = whole && p->len < BZ2_TINY ? bz2_tiny + 1 : 0;
	if (bz2_tiny == BZ2_TINY_RUN)
		return false;
	bz2_next = p->ends ? 0 : end;
	bz2_stream = p->ends ? (end + 80 + 7) / 8 : bz2_stream;
	return true;
}

bool bz2_start()
{
	bz2_stream = in.at;
	bz2_next = 0;
	bz2_over = false;
	bz2_tiny = 0;
	return bz2_blocks_begin() == nullptr;
}

uint32_t rotl(uint32_t v, unsigned k)
{
	k %= 32;
	return k == 0 ? v : v << k | v >> (32 - k);
}

bool bz2_work(piece *p)
{
	bz2_out o = {p->out, 0, p->out_cap, std::max(OUT_MAX, bz2_most(p->level))};
	bool ok = p->cuts > 0 &&
		  bz2_blocks(p->data, p->cut, p->cuts, p->level, &o, &p->crc, &p->units);
	p->out = o.buf;
	p->out_cap = o.cap;
	p->out_len = o.len;
	return ok;
}

bool bz2_in_order(piece *p)
{
	if (p->cut[0] + p->at * 8 == p->back.at * 8 + 32) {
		bz2_written = 0;
		bz2_crc = 0;
	}
	p->back.skip = bz2_written;
	bz2_written += p->out_len;
	bz2_crc = rotl(bz2_crc, p->units) ^ p->crc;
	return p->ok && (!p->ends || bz2_crc == p->stream_crc);
}

// The next piece, read, with its handover; false where none is.
bool make(piece *p)
{
	over = {next_at, 0, pieces > 0};
	p->back = over; // the xz and bzip2 scans say otherwise
	p->data = nullptr;
	p->broken = false;
	if (!scan(p) || (p->data == nullptr && !load(p)))
		return false;
	p->seq = pieces++;
	next_at = p->at + p->len;
	return true;
}

// The pieces still queued are dropped, those being decoded awaited.
void stop()
{
	pthread_mutex_lock(&lock);
	for (unsigned i = 0; i < nslots; i++)
		if (slots[i].st == QUEUED)
			slots[i].st = FREE;
	for (unsigned i = 0; i < nslots; i++)
		while (slots[i].st == BUSY)
			pthread_cond_wait(&finished, &lock);
	pthread_mutex_unlock(&lock);
	for (unsigned i = 0; i < nslots; i++) {
		free(slots[i].in);
		free(slots[i].out);
		slots[i] = {};
	}
	free(members);
	free(recs);
	free(streams_found);
	members = nullptr;
	recs = nullptr;
	streams_found = nullptr;
}

// The ordinary reading takes over where p would have begun, or, without
// p, where the last piece ended.
int hand_over(const unit &u, const piece *p)
{
	handover h = p != nullptr ? p->back : over;
	stop();
	return resume(u, h.at, h.skip, h.after);
}

// bzip2 on one CPU: the pieces decoded in turn here, by the same scan,
// decoder and handover as on threads, for ours is faster than libbz2.
int bz2_alone(const unit &u)
{
	piece *p = &slots[0];
	nslots = 1;
	for (;;) {
		if (!make(p))
			return hand_over(u, nullptr);
		p->ok = work(p);
		if (!in_order(p))
			return hand_over(u, p);
		if (!output(p->out, p->out_len)) {
			stop();
			return GZ_ERROR;
		}
		give_back(p, p->out_len);
	}
}

void enqueue(piece *p)
{
	pthread_mutex_lock(&lock);
	p->st = QUEUED;
	pthread_cond_signal(&queued);
	pthread_mutex_unlock(&lock);
}

} // namespace

void parallel_threads(unsigned n, size_t piece)
{
	wanted = n;
	piece_min = piece > 0 ? piece : PIECE_SCAN;
}

int parallel(const unit &u)
{
	in_order = nullptr;
	stream_head = false;
	if (&u == &gzip_unit) {
		const unsigned char *p;
		size_t n = peek(18, &p);
		if (bgzf(p, n) == 0)
			return -1;
		scan = scan_bgzf;
		work = streams;
	} else if (&u == &zstd_unit) {
		scan = scan_zstd;
		work = streams;
		stream_head = true;
	} else if (&u == &lzip_unit) {
		scan = scan_lzip;
		work = streams;
		stream_head = true;
	} else if (&u == &xz_unit) {
		scan = scan_xz;
		work = blocks;
	} else if (&u == &bzip2_unit) {
		scan = scan_bz2;
		work = bz2_work;
		in_order = bz2_in_order;
	} else {
		return -1;
	}
	// A file read whole already is small: not worth a thread.
	if (!input_whole(&in) || in.read >= in.size)
		return -1;
	unsigned n = threads();
	win_len = 0;
	// Input in memory (the fuzzer's, the tests') stays with libbz2 on one
	// thread: they compare it with ours.
	bool alone = n < 2 && scan == scan_bz2 && in.fd >= 0;
	if ((n < 2 && !alone) || u.begin() != nullptr || (scan == scan_lzip && !walk_lzip()) ||
	    (scan == scan_xz && (xz_blocks_begin() != nullptr || !walk_xz())) ||
	    (scan == scan_bz2 && !bz2_start())) {
		stop();
		return -1;
	}
	work_unit = &u;
	next_at = in.at;
	pieces = 0;
	turn = 0;
	if (alone)
		return bz2_alone(u);
	// A piece a thread: one being written holds its thread back, but a
	// piece more would hold as much memory again.
	nslots = n;
	// A single piece is decoded as now.
	if (!make(&slots[0]) || !make(&slots[1])) {
		stop();
		return -1;
	}
	while (started < n) {
		pthread_t t;
		if (pthread_create(&t, nullptr, worker, nullptr) != 0)
			break;
		started++;
	}
	if (started == 0) {
		stop();
		return -1;
	}
	enqueue(&slots[0]);
	enqueue(&slots[1]);
	bool more = true;
	for (uint64_t seq = 0;; seq++) {
		for (unsigned i = 0; i < nslots && more; i++) {
			pthread_mutex_lock(&lock);
			bool free = slots[i].st == FREE;
			pthread_mutex_unlock(&lock);
			if (!free)
				continue;
			more = make(&slots[i]);
			if (more)
				enqueue(&slots[i]);
		}
		piece *p = nullptr;
		pthread_mutex_lock(&lock);
		for (unsigned i = 0; i < nslots; i++)
			if (slots[i].st != FREE && slots[i].seq == seq)
				p = &slots[i];
		while (p != nullptr && p->st != DONE)
			pthread_cond_wait(&finished, &lock);
		pthread_mutex_unlock(&lock);
		if (p != nullptr && in_order != nullptr)
			p->ok = in_order(p);
		if (p != nullptr && p->broken) {
			stop();
			return GZ_ERROR;
		}
		if (p == nullptr || !p->ok)
			return hand_over(u, p);
		if (!output(p->out, p->out_len)) {
			stop();
			return GZ_ERROR;
		}
		give_back(p, p->out_len);
		pthread_mutex_lock(&lock);
		p->st = FREE;
		turn = seq + 1;
		pthread_mutex_unlock(&lock);
	}
}
