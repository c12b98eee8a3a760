// A large file whose format cuts it into units that decode on their own is
// decoded a piece of whole units a thread, the pieces written in order.
// The format finds its units and checks them (its cutter, in unit.h); here
// are the threads, the order, the memory and the handover. A piece counts
// only when its work and its check in order say it decoded whole, as
// scanned; at the first that does not, or where the scan makes none, the
// ordinary reading takes over where the format says, the output already
// written of what it reads again dropped. So the bytes written and the
// status are those of one thread for every input, as long as what a unit
// writes before a fault does not hang on how its input is cut (the fuzzer
// compares), and a hostile input costs at most the pieces decoded in vain.
// Standard input and pipes are read on one thread: a piece needs its bytes
// read ahead, and its place known, before the pieces before it are decoded.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include "io.h"
#include "limits.h"

namespace {

// The compressed bytes a piece is given at least, where its units are small.
constexpr size_t PIECE_SCAN = 256 << 10;

enum state : unsigned char { FREE, MADE, QUEUED, BUSY, DONE };

struct job {
	piece p;
	unsigned char *in; // p's bytes, read from a descriptor; kept for the next piece
	size_t in_cap;
	uint64_t seq, cost;
	state st;
	bool ok;
};

job jobs[SLOTS_MAX];
unsigned nslots;
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t queued = PTHREAD_COND_INITIALIZER, finished = PTHREAD_COND_INITIALIZER;
uint64_t turn;    // the piece to be written next
unsigned started; // threads, kept for later inputs
unsigned wanted;  // parallel_threads()
size_t piece_min = PIECE_SCAN;
refusal refused;
const unit *work_unit;
const cutter *cut;
// The memory the pieces in flight may take, and what they take; a slot's
// buffers are kept for its next piece up to `keep`.
uint64_t budget, held;
size_t keep;
whole in;

// While its piece is the next to be written, a thread writes what it has
// made itself, every STEP, and goes on in the same room, so that output
// waits only in the pieces after it; only for the formats whose units
// write before a fault the same however their input is cut.
constexpr size_t STEP = 256 << 10;

// p->out[0..made) is written: what of it lies past `keep` is given back.
void give_back(const piece *p, size_t made)
{
	// Whole pages only, counted from p->out's page.
	size_t skew = (uintptr_t)p->out % 4096, from = (keep + skew + 4095) / 4096 * 4096,
	       to = (made + skew) / 4096 * 4096;
	if (to > from)
		(void)madvise(p->out + (from - skew), to - from, MADV_DONTNEED);
}

size_t pass(piece *p, size_t made, bool whole)
{
	if (made == 0 || (!whole && !cut->stream_head))
		return made;
	pthread_mutex_lock(&lock);
	bool head = jobs[p->slot].seq == turn;
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

// A thread's input where its cutter reads the pieces as it goes, IN_BUF:
// as much as the ordinary reading gives every unit at once.
thread_local unsigned char *chunk;

// What the calling thread keeps for its next pieces.
void let_go()
{
	if (cut->drop != nullptr)
		cut->drop();
	free(chunk);
	chunk = nullptr;
}

unsigned drops;              // the drops asked of the threads so far
unsigned dropped[SLOTS_MAX]; // those each thread did, or that were before it
unsigned dropping;           // the threads yet to do the last
// Under `ulimit -v` the threads end at a stop, on stacks of the driver's own
// that it then unmaps: a thread kept, or a stack glibc keeps for the next,
// holds address space that the ordinary reading may need.
bool ending;
pthread_t ids[SLOTS_MAX];
void *stacks[SLOTS_MAX];

void *worker(void *arg)
{
	auto *done = static_cast<unsigned *>(arg);
	pthread_mutex_lock(&lock);
	for (;;) {
		if (ending) {
			pthread_mutex_unlock(&lock);
			let_go();
			return nullptr;
		}
		if (*done != drops) {
			*done = drops;
			pthread_mutex_unlock(&lock);
			let_go();
			pthread_mutex_lock(&lock);
			dropping--;
			pthread_cond_broadcast(&finished);
			continue;
		}
		job *j = nullptr;
		for (unsigned i = 0; i < nslots; i++)
			if (jobs[i].st == QUEUED && (j == nullptr || jobs[i].seq < j->seq))
				j = &jobs[i];
		if (j == nullptr) {
			pthread_cond_wait(&queued, &lock);
			continue;
		}
		j->st = BUSY;
		pthread_mutex_unlock(&lock);
		bool ok = cut->work(&j->p);
		pthread_mutex_lock(&lock);
		j->ok = ok;
		j->st = DONE;
		pthread_cond_broadcast(&finished);
	}
}

// The threads to use: the CPUs the process may use, one at least.
unsigned threads()
{
	unsigned n = wanted > 0 ? wanted : std::max(limits_cpus(), 1U);
	return std::min(n, SLOTS_MAX);
}

// A thread's stack: the decoders keep their state on the heap. The 8 MiB
// of the default, kept with the thread for the files after, would take the
// address space that the ordinary reading needs under `ulimit -v`.
constexpr size_t STACK = 1 << 20;

// A stack of the driver's own, a page below it that faults, as glibc's.
constexpr size_t GUARD = 4096;
void *map_stack()
{
	void *p = mmap(nullptr, GUARD + STACK, PROT_READ | PROT_WRITE,
		       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
	if (p == MAP_FAILED)
		return nullptr;
	if (mprotect(p, GUARD, PROT_NONE) != 0) {
		(void)munmap(p, GUARD + STACK);
		return nullptr;
	}
	return p;
}

void unmap_stack(void *p)
{
	if (p != nullptr)
		(void)munmap(p, GUARD + STACK);
}

// Starts threads up to n; whether there is one.
bool start_threads(unsigned n)
{
	pthread_attr_t a;
	if (pthread_attr_init(&a) != 0)
		return started > 0 && refused != REFUSE_THREADS;
	(void)pthread_attr_setstacksize(&a, STACK);
	bool own = limits_address();
	while (started < n && refused != REFUSE_THREADS) {
		void *stack = own ? map_stack() : nullptr;
		if (own &&
		    (stack == nullptr ||
		     pthread_attr_setstack(&a, static_cast<char *>(stack) + GUARD, STACK) != 0)) {
			unmap_stack(stack);
			break;
		}
		dropped[started] = drops;
		if (pthread_create(&ids[started], &a, worker, &dropped[started]) != 0) {
			unmap_stack(stack);
			break;
		}
		stacks[started++] = stack;
	}
	(void)pthread_attr_destroy(&a);
	return started > 0 && refused != REFUSE_THREADS;
}

uint64_t next_at; // where the next piece starts
uint64_t pieces;  // made so far

handover over; // where the ordinary reading takes over, should the scan make no piece

// The next piece, scanned, not yet read; false where none is.
bool make(job *j)
{
	piece &p = j->p;
	p.slot = (unsigned)(j - jobs);
	p.at = next_at;
	p.len = p.size = p.state = 0;
	p.want = piece_min;
	p.back = {next_at, 0, pieces > 0};
	p.data = nullptr;
	p.out_len = 0;
	p.broken = false;
	j->ok = false;
	if (!cut->scan(&p)) {
		over = p.back;
		return false;
	}
	j->seq = pieces++;
	j->cost = (in.fd < 0 ? 0 : cut->reads ? IN_BUF : p.len) + p.size + p.state;
	pthread_mutex_lock(&lock); // the threads look at every slot's state
	j->st = MADE;
	pthread_mutex_unlock(&lock);
	next_at = p.at + p.len;
	return true;
}

// The piece's bytes, read into j->in: false where its memory is refused.
bool load(job *j)
{
	piece &p = j->p;
	if (refused == REFUSE_PIECE && j->seq == 2)
		return false;
	if (cut->reads && in.fd >= 0)
		return true;
	// Grown in place where it can be: a free and a new one would leave
	// the old in the heap, counted in the peak.
	if (in.fd >= 0 && j->in_cap < p.len) {
		auto *q = static_cast<unsigned char *>(realloc(j->in, p.len));
		if (q == nullptr)
			return false;
		j->in = q;
		j->in_cap = p.len;
	}
	return cut_bytes(p.at, p.len, j->in, &p.data) == p.len;
}

// The pieces made are queued in order while the memory lets them, with a
// thread each up to the slots: a piece alone larger than all of it, or
// whose buffers are refused, fails, so that the ordinary reading takes
// over where it begins.
void admit()
{
	for (;;) {
		job *j = nullptr;
		unsigned busy = 0;
		pthread_mutex_lock(&lock);
		for (unsigned i = 0; i < nslots; i++) {
			if (jobs[i].st == MADE && (j == nullptr || jobs[i].seq < j->seq))
				j = &jobs[i];
			busy += jobs[i].st == QUEUED || jobs[i].st == BUSY;
		}
		pthread_mutex_unlock(&lock);
		if (j == nullptr || (held > 0 && j->cost > budget - held))
			return;
		bool ok = j->cost <= budget && load(j);
		if (ok)
			(void)start_threads(busy + 1); // or fewer, as the system lets
		j->cost = ok ? j->cost : 0;
		held += j->cost;
		pthread_mutex_lock(&lock);
		j->st = ok ? QUEUED : DONE;
		pthread_cond_signal(&queued);
		pthread_mutex_unlock(&lock);
	}
}

// The pieces still queued are dropped, those being decoded awaited, and
// all let go.
void stop()
{
	pthread_mutex_lock(&lock);
	for (unsigned i = 0; i < nslots; i++)
		if (jobs[i].st == QUEUED)
			jobs[i].st = FREE;
	for (unsigned i = 0; i < nslots; i++)
		while (jobs[i].st == BUSY)
			pthread_cond_wait(&finished, &lock);
	for (unsigned i = 0; i < nslots; i++) { // the threads, kept, look at them
		free(jobs[i].in);
		free(jobs[i].p.out);
		jobs[i] = {};
	}
	// Threads on stacks of the driver's own end here. The others are kept,
	// as glibc would keep their stacks anyway, but not their decoders'
	// state; nor this thread's, where alone() decoded.
	if (started > 0 && stacks[0] != nullptr) {
		ending = true;
		pthread_cond_broadcast(&queued);
		pthread_mutex_unlock(&lock);
		for (unsigned i = 0; i < started; i++) {
			(void)pthread_join(ids[i], nullptr);
			unmap_stack(stacks[i]);
			stacks[i] = nullptr;
		}
		pthread_mutex_lock(&lock);
		started = 0;
		ending = false;
	} else if (cut->drop != nullptr || cut->reads) {
		drops++;
		dropping = started;
		pthread_cond_broadcast(&queued);
		while (dropping > 0)
			pthread_cond_wait(&finished, &lock);
	}
	pthread_mutex_unlock(&lock);
	let_go();
	if (cut->stop != nullptr)
		cut->stop();
}

// The ordinary reading takes over at h, a copy: stop() clears the piece
// it may come from.
// cppcheck-suppress passedByValue ; by value on purpose, as said
int hand_over(const unit &u, handover h)
{
	stop();
	return resume(u, h.at, h.skip, h.after);
}

// The piece next in turn, its work done (ok) or failed: checked in order
// and written, or the end: the status, or -1 to go on.
int deliver(const unit &u, piece *p, bool ok)
{
	ok = cut->in_order != nullptr ? cut->in_order(p, ok) : ok;
	if (p->broken) {
		stop();
		return GZ_ERROR;
	}
	if (!ok)
		return hand_over(u, p->back);
	if (!output(p->out, p->out_len)) {
		stop();
		return GZ_ERROR;
	}
	give_back(p, p->out_len);
	return -1;
}

// One thread: the pieces made so far in jobs[0..made), and the rest, unless
// the scan has `ended`, in jobs[0], decoded in turn here.
int alone(const unit &u, unsigned made, bool ended)
{
	for (unsigned i = 0;; i++) {
		job *j = &jobs[i < made ? i : 0];
		if (i >= made && (ended || !make(j)))
			return hand_over(u, over);
		turn = j->seq;
		bool ok = j->cost <= budget && load(j) && cut->work(&j->p);
		if (int status = deliver(u, &j->p, ok); status >= 0)
			return status;
	}
}

} // namespace

unsigned char *cut_chunk()
{
	if (chunk == nullptr)
		chunk = static_cast<unsigned char *>(malloc(IN_BUF));
	return chunk;
}

size_t cut_bytes(uint64_t at, size_t n, unsigned char *buf, const unsigned char **p)
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

namespace {
// A page, placed to end at what is looked at where the scan walks back
// (lzip's trailers, xz's padding); the whole where the looks walk on from
// it (BGZF's and zstd's headers), one read for many headers. Formats that
// look seldom touch a page of it.
unsigned char win[64 << 10];
uint64_t win_at, win_len;
} // namespace

const unsigned char *cut_look(uint64_t at, size_t n)
{
	if (at > in.size || in.size - at < n)
		return nullptr;
	if (in.fd < 0)
		return in.mem + at;
	if (at < win_at || at + n > win_at + win_len) {
		bool back = at < win_at;
		bool on = !back && win_len > 0 && at + n - (win_at + win_len) < sizeof win;
		size_t len = on ? sizeof win : 4096;
		const unsigned char *p;
		win_at = !back ? at : at + n > len ? at + n - len : 0;
		win_len = cut_bytes(win_at, len, win, &p);
		if (win_len < at + n - win_at)
			return nullptr;
	}
	return win + (at - win_at);
}

bool cut_room(piece *p, size_t need)
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
	// Where the memory lets the slot keep it, and the pieces are large, in
	// huge pages: a fault a 2 MiB rather than a 4 KiB, which costs a thread
	// more than its block. Small pieces would hold more than they use.
	constexpr size_t HUGE = 2 << 20, HUGE_FROM = 16 << 20;
	size_t skew = (uintptr_t)q % HUGE, from = skew > 0 ? HUGE - skew : 0;
	if (keep == OUT_MAX && cap >= HUGE_FROM)
		(void)madvise(q + from, (cap - from) / HUGE * HUGE, MADV_HUGEPAGE);
	return true;
}

// f's unread bytes, and after them the piece's from `fed` on, into chunk,
// `need` at least where the piece has them: false where the file has not.
static bool refill(const piece *p, flow *f, uint64_t *fed, size_t need)
{
	if (f->in_left >= need || *fed == p->len)
		return true;
	memmove(chunk, f->in, f->in_left);
	size_t want = (size_t)std::min<uint64_t>(IN_BUF - f->in_left, p->len - *fed);
	const unsigned char *q;
	size_t n = cut_bytes(p->at + *fed, want, chunk + f->in_left, &q);
	f->in = chunk;
	f->in_left += n;
	*fed += n;
	f->last = *fed == p->len;
	return n == want;
}

bool cut_streams(piece *p)
{
	const unit &u = *work_unit;
	if (!cut_room(p, std::min<uint64_t>(p->size, STEP) + 4096))
		return false;
	flow f = {p->data, p->len, p->out, 0, true, nullptr};
	uint64_t fed = p->len; // of the piece's bytes, those given to f
	if (p->data == nullptr) {
		f = {cut_chunk(), 0, p->out, 0, false, nullptr};
		fed = 0;
		if (f.in == nullptr || !refill(p, &f, &fed, IN_BUF))
			return false;
	}
	// The bytes that say what follows a stream: a skippable frame's header.
	constexpr size_t LOOK = 8;
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
			// As the ordinary reading's, a unit takes all it is given
			// before it asks for more.
			if (s == STEP_MORE && f.out_left > 0 && f.in_left == 0 && fed < p->len) {
				if (!refill(p, &f, &fed, IN_BUF))
					return false;
				continue;
			}
			if (s != STEP_MORE || f.out_left > 0)
				break;
			made = pass(p, made, false);
			if (p->broken || !cut_room(p, made + 1))
				return false;
		}
		if (s != STEP_END || !refill(p, &f, &fed, LOOK))
			return false;
		if (f.in_left == 0)
			break;
		// As follows() and skip_frames() take what follows a stream.
		while (u.skippable && skippable(f.in, f.in_left)) {
			if (f.in_left < 8 || f.in_left - 8 + (p->len - fed) < cut_le(f.in + 4, 4))
				return false;
			uint64_t n = 8 + cut_le(f.in + 4, 4);
			if (n > f.in_left) {
				fed += n - f.in_left;
				f.in_left = 0;
			} else {
				f.in += n;
				f.in_left -= n;
			}
			if (!refill(p, &f, &fed, LOOK))
				return false;
		}
		if (f.in_left == 0)
			break;
		if (!starts(u, f.in, f.in_left))
			return false;
	}
	p->out_len = pass(p, made, true);
	return !p->broken;
}

void parallel_threads(unsigned n, size_t piece, refusal r)
{
	wanted = n;
	piece_min = piece > 0 ? piece : PIECE_SCAN;
	refused = r;
}

int parallel(const unit &u)
{
	// A file read whole already is small: not worth a thread.
	if (u.cuts == nullptr || !input_whole(&in) || in.read >= in.size)
		return -1;
	unsigned n = threads();
	cut = u.cuts;
	work_unit = &u;
	win_len = 0;
	bool one = cut->alone && in.fd >= 0;
	if ((n < 2 && !one) || u.begin() != nullptr || !cut->start(in.at, in.size))
		return -1;
	uint64_t memory = limits_memory() / 4;
	budget = memory > 0 ? memory : UINT64_MAX;
	held = 0;
	// A piece a thread: one being written holds its thread back, but a
	// piece more would hold as much memory again.
	nslots = n;
	keep = (size_t)std::min<uint64_t>(budget / n, OUT_MAX);
	next_at = in.at;
	pieces = 0;
	turn = 0;
	if (n < 2)
		return alone(u, 0, false);
	// A single piece, a file where only one fits in the memory, and one
	// where no thread starts are read on one thread.
	if (!make(&jobs[0])) {
		stop();
		return -1;
	}
	unsigned made = make(&jobs[1]) ? 2 : 1;
	if (made < 2 || jobs[0].cost > budget || jobs[1].cost > budget - jobs[0].cost ||
	    !start_threads(1)) {
		if (one)
			return alone(u, made, made < 2);
		stop();
		return -1;
	}
	bool more = true;
	for (uint64_t seq = 0;; seq++) {
		for (unsigned i = 0; i < nslots && more; i++) {
			pthread_mutex_lock(&lock);
			bool free = jobs[i].st == FREE;
			pthread_mutex_unlock(&lock);
			if (free)
				more = make(&jobs[i]);
		}
		admit();
		job *j = nullptr;
		pthread_mutex_lock(&lock);
		for (unsigned i = 0; i < nslots; i++)
			if (jobs[i].st != FREE && jobs[i].seq == seq)
				j = &jobs[i];
		while (j != nullptr && j->st != DONE)
			pthread_cond_wait(&finished, &lock);
		pthread_mutex_unlock(&lock);
		if (j == nullptr)
			return hand_over(u, over);
		held -= j->cost;
		if (int status = deliver(u, &j->p, j->ok); status >= 0)
			return status;
		pthread_mutex_lock(&lock);
		j->st = FREE;
		turn = seq + 1;
		pthread_mutex_unlock(&lock);
	}
}
