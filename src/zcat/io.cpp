#include "io.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <unistd.h>

// Large reads and writes keep system calls few. Page-aligned, so that a
// small file touches one page less of each: each first touch is a fault.
alignas(4096) static unsigned char inbuf[IN_BUF];
alignas(4096) static unsigned char outbuf[1 << 18];

static size_t pos, end; // inbuf[pos..end) is not taken yet
static bool ended;      // nothing comes after inbuf[end]
static int read_errno;  // why the input ended early, if it did
static int in_fd = -1;
static long long in_size; // of the regular file in_fd reads from its start, or -1
static uint64_t taken;    // bytes read into inbuf so far
static const unsigned char *mem, *mem_start; // the input in memory, when in_fd < 0
static size_t mem_left, mem_chunk, mem_size;
static const char *in_name;
static size_t used;      // outbuf[0..used) is not written yet
static uint64_t dropped; // output still to be dropped
static int out_fd = STDOUT_FILENO;

static void input(int fd, const char *name)
{
	in_fd = fd;
	in_name = name;
	pos = end = 0;
	ended = false;
	read_errno = 0;
	taken = 0;
	dropped = 0;
}

void input_fd(int fd, const char *name, long long size)
{
	input(fd, name);
	in_size = size;
}

void input_memory(const unsigned char *p, size_t n, size_t chunk, const char *name)
{
	input(-1, name);
	mem = mem_start = p;
	mem_left = mem_size = n;
	mem_chunk = chunk;
}

bool input_whole(whole *w)
{
	*w = {in_fd, mem_start, in_fd < 0 ? mem_size : (uint64_t)in_size, taken - (end - pos),
	      taken};
	return in_fd < 0 || in_size >= 0;
}

void output_fd(int fd) { out_fd = fd; }

int complain(const char *what, int status)
{
	(void)fprintf(stderr, "zcat: %s: %s\n", in_name, what);
	return status;
}

int cut_short()
{
	return complain(read_errno != 0 ? strerror(read_errno) : "unexpected end of file",
			GZ_ERROR);
}

int input_end() { return read_errno != 0 ? cut_short() : GZ_OK; }

// A read that would block waits until there is something to read.
static bool wait_readable()
{
	pollfd p = {in_fd, POLLIN, 0};
	while (poll(&p, 1, -1) < 0)
		if (errno != EINTR)
			return false;
	return true;
}

// More input after what is unread; false at its end or on a read error.
static bool fill()
{
	if (ended)
		return false;
	memmove(inbuf, inbuf + pos, end - pos);
	end -= pos;
	pos = 0;
	if (in_fd < 0) {
		size_t n = mem_left < mem_chunk ? mem_left : mem_chunk;
		n = n < sizeof inbuf - end ? n : sizeof inbuf - end;
		if (n > 0)
			memcpy(inbuf + end, mem, n);
		mem += n;
		mem_left -= n;
		end += n;
		taken += n;
		ended = n == 0;
		return !ended;
	}
	for (;;) {
		ssize_t got = read(in_fd, inbuf + end, sizeof inbuf - end);
		if (got > 0) {
			end += (size_t)got;
			taken += (uint64_t)got;
			return true;
		}
		if (got < 0 && errno == EAGAIN && wait_readable())
			continue;
		if (got < 0 && errno == EINTR)
			continue;
		if (got < 0)
			read_errno = errno;
		ended = true;
		return false;
	}
}

size_t peek(size_t n, const unsigned char **p)
{
	while (end - pos < n && fill())
		;
	*p = inbuf + pos;
	return end - pos < n ? end - pos : n;
}

bool write_all(int fd, const unsigned char *p, size_t n)
{
	while (n > 0) {
		ssize_t put = write(fd, p, n);
		if (put < 0 && errno == EINTR)
			continue;
		if (put == 0)
			errno = EIO; // it would never get on
		if (put <= 0)
			return false;
		p += put;
		n -= (size_t)put;
	}
	return true;
}

bool output(const unsigned char *p, size_t n)
{
	if (write_all(out_fd, p, n))
		return true;
	(void)fprintf(stderr, "zcat: stdout: %s\n", strerror(errno));
	return false;
}

static bool flush()
{
	size_t drop = used < dropped ? used : (size_t)dropped;
	dropped -= drop;
	bool ok = output(outbuf + drop, used - drop);
	used = 0;
	return ok;
}

bool skippable(const unsigned char *p, size_t n)
{
	return n >= 4 && (p[0] & 0xf0) == 0x50 && p[1] == 0x2a && p[2] == 0x4d && p[3] == 0x18;
}

int skip_frames()
{
	for (;;) {
		const unsigned char *p;
		size_t n = peek(8, &p);
		if (!skippable(p, n))
			return GZ_OK;
		if (n < 8)
			return cut_short();
		uint32_t left =
			p[4] | (uint32_t)p[5] << 8 | (uint32_t)p[6] << 16 | (uint32_t)p[7] << 24;
		pos += 8;
		while (left > 0) {
			if (pos == end && !fill())
				return cut_short();
			size_t k = end - pos < left ? end - pos : left;
			pos += k;
			left -= (uint32_t)k;
		}
	}
}

bool starts(const unit &u, const unsigned char *p, size_t n)
{
	if (u.claims != nullptr)
		return u.claims(p, n);
	for (const magic &m : u.magics)
		if (m.len > 0 && n >= m.len && memcmp(p, m.bytes, m.len) == 0)
			return true;
	return false;
}

// The start of a stream of u, cut short by the end of the input.
static bool cut_start(const unit &u, const unsigned char *p, size_t n)
{
	for (const magic &m : u.magics)
		if (n < m.len && memcmp(p, m.bytes, n) == 0)
			return true;
	return false;
}

// One stream of u through to its end.
static int pump(const unit &u)
{
	for (;;) {
		flow f = {inbuf + pos,          end - pos, outbuf + used,
			  sizeof outbuf - used, ended,     nullptr};
		step s = u.run(&f);
		pos = (size_t)(f.in - inbuf);
		used = sizeof outbuf - f.out_left;
		if (s == STEP_END)
			return flush() ? GZ_OK : GZ_ERROR;
		if (s != STEP_MORE || (pos < end && f.out_left > 0)) {
			if (!flush())
				return GZ_ERROR;
			if (s == STEP_MORE)
				return complain("invalid compressed data--format violated",
						GZ_ERROR);
			return complain(f.error, s == STEP_REFUSE ? GZ_WARNING : GZ_ERROR);
		}
		if (f.out_left == 0) {
			if (!flush())
				return GZ_ERROR;
		} else if (f.last || (!fill() && read_errno != 0)) {
			// At a plain end, the unit is called once more with `last`.
			return flush() ? cut_short() : GZ_ERROR;
		}
	}
}

static int garbage() { return complain("decompression OK, trailing garbage ignored", GZ_WARNING); }

// What follows a stream of u: -1 for another stream, or the status.
static int follows(const unit &u)
{
	const unsigned char *p;
	size_t zeros = 0, n;
	while ((n = peek(1, &p)) > 0 && *p == 0) {
		const unsigned char *q = p;
		while (q < inbuf + end && *q == 0)
			q++;
		zeros += (size_t)(q - p);
		pos = (size_t)(q - inbuf);
	}
	if (zeros > 0 && u.zeros == 0)
		return garbage();
	if (zeros > 0 && u.zeros == 1)
		return n > 0 ? garbage() : input_end();
	if (zeros % 4 != 0)
		return complain("invalid compressed data--format violated", GZ_ERROR);
	if (u.skippable) {
		int s = skip_frames();
		if (s != GZ_OK)
			return s;
	}
	n = peek(MAGIC_MAX, &p);
	if (n == 0 || read_errno != 0)
		return input_end();
	if (starts(u, p, n))
		return -1;
	if (n < MAGIC_MAX && cut_start(u, p, n))
		return cut_short();
	return garbage();
}

int resume(const unit &u, uint64_t at, uint64_t skip, bool after)
{
	if (in_fd >= 0 && lseek(in_fd, (off_t)at, SEEK_SET) < 0)
		return complain(strerror(errno), GZ_ERROR);
	// A file cut shorter since its pieces were read ends before `at`: it
	// ends early, as one thread reading it through would have found.
	unsigned char last;
	if (in_fd >= 0 && at > 0 && pread(in_fd, &last, 1, (off_t)(at - 1)) == 0)
		return cut_short();
	if (in_fd < 0) {
		mem = mem_start + at;
		mem_left = mem_size - at;
	}
	pos = end = 0;
	ended = false;
	taken = at;
	dropped = skip;
	int s = after ? follows(u) : -1;
	return s >= 0 ? s : decode(u);
}

int decode(const unit &u)
{
	for (;;) {
		if (const char *why = u.begin())
			return complain(why, GZ_ERROR);
		int s = pump(u);
		if (s == GZ_OK && !u.to_end)
			s = follows(u);
		if (s >= 0)
			return s;
	}
}
