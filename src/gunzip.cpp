#include "gunzip.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

// Large reads and writes keep system calls few. Page-aligned, so that a
// small file touches one page less of each: each first touch is a fault.
alignas(4096) static unsigned char inbuf[1 << 18];
alignas(4096) static unsigned char outbuf[1 << 18];
static inflate_state st;

static int ifd, ofd;
static const char *in_name;
static size_t pos, end; // inbuf[pos..end) is not read yet
static int read_errno;  // why the input ended early, if it did
static uint32_t hcrc;   // of the header read so far

// ISA-L's bit buffer holds up to 8 bytes past where the deflate data end,
// so a refill keeps the 8 bytes before the read position.
constexpr size_t KEEP = 8;

enum { FHCRC = 0x02, FEXTRA = 0x04, FNAME = 0x08, FCOMMENT = 0x10, FUNKNOWN = 0xe0 };

// More input after what is unread; false at its end or on a read error.
static bool fill()
{
	size_t keep = pos < KEEP ? pos : KEEP;
	memmove(inbuf, inbuf + pos - keep, end - pos + keep);
	end = end - pos + keep;
	pos = keep;
	for (;;) {
		ssize_t got = read(ifd, inbuf + end, sizeof inbuf - end);
		if (got > 0) {
			end += (size_t)got;
			return true;
		}
		if (got == 0)
			return false;
		if (errno != EINTR) {
			read_errno = errno;
			return false;
		}
	}
}

// The next byte, or -1 at the end of the input.
static int next()
{
	if (pos == end && !fill())
		return -1;
	return inbuf[pos++];
}

// The next header byte, counted into the header's CRC.
static int hnext()
{
	int b = next();
	if (b >= 0) {
		unsigned char c = (unsigned char)b;
		hcrc = crc32_gzip_refl(hcrc, &c, 1);
	}
	return b;
}

static int complain(const char *what)
{
	(void)fprintf(stderr, "zcat: %s: %s\n", in_name, what);
	return GZ_ERROR;
}

static int cut_short()
{
	return complain(read_errno != 0 ? strerror(read_errno) : "unexpected end of file");
}

static bool is_member(int b0, int b1)
{
	// 1f 9e is gzip's older magic for the same format.
	return b0 == 0x1f && (b1 == 0x8b || b1 == 0x9e);
}

bool write_all(int fd, const unsigned char *p, size_t n)
{
	while (n > 0) {
		ssize_t put = write(fd, p, n);
		if (put < 0 && errno == EINTR)
			continue;
		if (put < 0)
			return false;
		p += put;
		n -= (size_t)put;
	}
	return true;
}

static bool emit(size_t n)
{
	if (write_all(ofd, outbuf, n))
		return true;
	(void)fprintf(stderr, "zcat: stdout: %s\n", strerror(errno));
	return false;
}

static uint32_t le32(const unsigned char *p)
{
	return p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// A field that ends with a zero byte; false if the input ends first.
static bool skip_string()
{
	int b;
	while ((b = hnext()) > 0)
		;
	return b == 0;
}

// The header after the magic, which is already in hcrc.
static int header()
{
	int method = hnext();
	if (method < 0)
		return cut_short();
	if (method != 8) {
		(void)fprintf(stderr, "zcat: %s: unknown method %d -- not supported\n", in_name,
			      method);
		return GZ_ERROR;
	}
	int flags = hnext();
	if (flags < 0)
		return cut_short();
	// ISA-L's own header parser lets these pass; gzip does not.
	if ((flags & FUNKNOWN) != 0) {
		(void)fprintf(stderr, "zcat: %s has flags 0x%x -- not supported\n", in_name, flags);
		return GZ_ERROR;
	}
	// Time, extra flags, operating system.
	for (int i = 0; i < 6; i++)
		if (hnext() < 0)
			return cut_short();
	if ((flags & FEXTRA) != 0) {
		int lo = hnext(), hi = hnext();
		if (hi < 0)
			return cut_short();
		for (int len = lo | hi << 8; len > 0; len--)
			if (hnext() < 0)
				return cut_short();
	}
	if ((flags & FNAME) != 0 && !skip_string())
		return cut_short();
	if ((flags & FCOMMENT) != 0 && !skip_string())
		return cut_short();
	if ((flags & FHCRC) != 0) {
		unsigned want = hcrc & 0xffff;
		int lo = next(), hi = next();
		if (hi < 0)
			return cut_short();
		if ((unsigned)(lo | hi << 8) != want) {
			(void)fprintf(
				stderr,
				"zcat: %s: header checksum 0x%04x != computed checksum 0x%04x\n",
				in_name, (unsigned)(lo | hi << 8), want);
			return GZ_ERROR;
		}
	}
	return GZ_OK;
}

// The deflate data and the trailer that checks them.
static int body()
{
	isal_inflate_init(&st);
	st.crc_flag = ISAL_GZIP_NO_HDR;
	uint32_t length = 0; // modulo 2^32, as the trailer has it
	size_t used = 0;
	for (;;) {
		st.next_in = inbuf + pos;
		st.avail_in = (uint32_t)(end - pos);
		st.next_out = outbuf + used;
		st.avail_out = (uint32_t)(sizeof outbuf - used);
		if (isal_inflate(&st) < 0)
			return complain("invalid compressed data--format violated");
		size_t made = (size_t)(st.next_out - outbuf) - used;
		pos = (size_t)(st.next_in - inbuf);
		used += made;
		length += (uint32_t)made;
		if (st.block_state == ISAL_BLOCK_FINISH)
			break;
		if (st.avail_out > 0 && pos == end) {
			if (!fill()) {
				(void)emit(used);
				return cut_short();
			}
			continue;
		}
		// With input and all the room it could want, it must get on.
		if (used == 0)
			return complain("invalid compressed data--format violated");
		if (!emit(used))
			return GZ_ERROR;
		used = 0;
	}
	if (!emit(used))
		return GZ_ERROR;

	pos -= (size_t)st.read_in_length / 8;
	unsigned char t[8];
	for (unsigned char &b : t) {
		int c = next();
		if (c < 0)
			return cut_short();
		b = (unsigned char)c;
	}
	int status = GZ_OK;
	if (le32(t) != st.crc)
		status = complain("invalid compressed data--crc error");
	if (le32(t + 4) != length)
		status = complain("invalid compressed data--length error");
	return status;
}

static int garbage()
{
	(void)fprintf(stderr, "zcat: %s: decompression OK, trailing garbage ignored\n", in_name);
	return GZ_WARNING;
}

int gunzip(const unsigned char *head, size_t n, int in, int out, const char *name)
{
	ifd = in;
	ofd = out;
	in_name = name;
	if (n > 0)
		memcpy(inbuf, head, n);
	pos = 0;
	end = n;
	read_errno = 0;

	int b0 = next(), b1 = b0 < 0 ? -1 : next();
	if (b1 < 0)
		return cut_short();
	if (!is_member(b0, b1))
		return complain("not in gzip format");
	for (;;) {
		const unsigned char magic[2] = {(unsigned char)b0, (unsigned char)b1};
		hcrc = crc32_gzip_refl(0, magic, 2);
		int status = header();
		if (status == GZ_OK)
			status = body();
		if (status != GZ_OK)
			return status;

		// Only zero padding or another member may follow a member: gzip
		// would also take .Z, LZH or packed data here, none of them
		// checked as a member is.
		b0 = next();
		if (b0 == 0) {
			while ((b0 = next()) == 0)
				;
			if (b0 >= 0)
				return garbage();
		}
		if (b0 < 0)
			return read_errno != 0 ? cut_short() : GZ_OK;
		b1 = next();
		if (b1 < 0)
			return cut_short();
		if (!is_member(b0, b1))
			return garbage();
	}
}
