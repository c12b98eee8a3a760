// The input and the output that every format shares, and the loop that
// drives a unit over them. The input is a descriptor or, for the tests and
// the fuzzer, memory.
#ifndef ZTEXT_ZCAT_IO_H
#define ZTEXT_ZCAT_IO_H

#include <cstddef>
#include <cstdint>

#include "unit.h"

// Input from fd, waited for when it is non-blocking; `name` in messages.
// `size`: that of the regular file it reads from its start, or -1.
void input_fd(int fd, const char *name, long long size = -1);
// Input from p[0..n), `chunk` bytes at a time.
void input_memory(const unsigned char *p, size_t n, size_t chunk, const char *name);
// Where the output goes; standard output unless said otherwise.
void output_fd(int fd);

// Makes at least n bytes ready unless the input ends first; *p points to
// them, and the count ready is returned.
size_t peek(size_t n, const unsigned char **p);
// Skips skippable frames; GZ_OK, or GZ_ERROR when one is cut short.
int skip_frames();
bool skippable(const unsigned char *p, size_t n);
// Whether p[0..n) starts a stream of u.
bool starts(const unit &u, const unsigned char *p, size_t n);

// Decodes streams of u from where the input stands to its end. The status.
int decode(const unit &u);

// The whole input, where any part of it can be read at any time: a
// regular file read from its start, or memory.
struct whole {
	int fd;                   // or -1, and then
	const unsigned char *mem; // the input
	uint64_t size;
	uint64_t at;   // where the reading stands
	uint64_t read; // how much of it is read into the buffer
};
bool input_whole(whole *w);
// The ordinary reading goes on from `at` of the whole input, as just after
// a stream of u if `after`, with the first `skip` bytes of output dropped.
int resume(const unit &u, uint64_t at, uint64_t skip, bool after);

// Decodes the units of u in the input on several threads, and the rest as
// decode() does; -1, with nothing read or written, where it does not.
int parallel(const unit &u);
// What the tests have refused to the threads: nothing, every thread, or
// the buffers of the third piece.
enum refusal : unsigned char { REFUSE_NONE, REFUSE_THREADS, REFUSE_PIECE };
// The threads it may use, 0 for as many CPUs as the process may use, and
// the compressed bytes a thread is given at least, 0 for the default; for
// the tests and the fuzzer.
void parallel_threads(unsigned n, size_t piece = 0, refusal refused = REFUSE_NONE);

// The input's buffer: a file no larger is read whole at once, and not
// worth a thread.
constexpr size_t IN_BUF = 256 << 10;

// For the formats' scans: a piece's compressed bytes at most, and its
// output; a unit larger is decoded on one thread.
constexpr size_t PIECE_MAX = 16 << 20, OUT_MAX = 32 << 20;
// Up to n bytes of the whole input at `at`, in buf or in the input in
// memory: *p points to them; the count.
size_t cut_bytes(uint64_t at, size_t n, unsigned char *buf, const unsigned char **p);
// The calling thread's IN_BUF bytes for cut_bytes, kept until the driver
// stops, and counted in each piece's cost where its cutter reads; or nullptr.
unsigned char *cut_chunk();
// n bytes at `at`, at most 64, through a small window of the input, as the
// scans look at headers spread over it; nullptr past its end.
const unsigned char *cut_look(uint64_t at, size_t n);
// The work of a piece of whole streams of the unit, each right after the
// one before, as the ordinary reading would take them.
bool cut_streams(piece *p);
// Room for need bytes of output in p->out, within OUT_MAX.
bool cut_room(piece *p, size_t need);
// The n bytes at p, least significant first.
inline uint32_t cut_le(const unsigned char *p, int n)
{
	uint32_t v = 0;
	while (n-- > 0)
		v = v << 8 | p[n];
	return v;
}

// "zcat: NAME: what" on standard error; returns status.
int complain(const char *what, int status);
// The input ended early: how, and GZ_ERROR.
int cut_short();
// At the end of the input: GZ_OK, or cut_short() after a read error.
int input_end();

// The input, decoded by its first bytes; in zcat.cpp.
int zcat_input();

// Writes all of p[0..n) to fd; false on an error, with errno set.
bool write_all(int fd, const unsigned char *p, size_t n);
// Writes p[0..n) as output; false on an error, said.
bool output(const unsigned char *p, size_t n);

#endif
