// gzip members, read as gzip reads them, with ISA-L's inflate.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "deflate.h"
#include "io.h"

enum : unsigned char {
	FHCRC = 0x02,
	FEXTRA = 0x04,
	FNAME = 0x08,
	FCOMMENT = 0x10,
	FUNKNOWN = 0xe0
};

// Each thread decodes members of its own. Where a member stands.
static thread_local enum : unsigned char {
	FIXED,
	EXTRA_LEN,
	EXTRA,
	NAME,
	COMMENT,
	HCRC,
	BODY,
	TRAILER
} part;

// ISA-L's state is too large to be copied into every thread's storage when
// it starts: the first thread's is static, the others' allocated.
static deflate first_body;
static std::atomic_flag first_taken;
static thread_local deflate *body;
static thread_local unsigned char field[10]; // a part of fixed length, as far as it has come
static thread_local size_t have;
static thread_local unsigned flags;
static thread_local size_t extra_left;
static thread_local uint32_t hcrc; // of the header so far
static thread_local char message[64];

static void take(flow *f, size_t n, bool header)
{
	if (header)
		hcrc = gzip_crc(hcrc, f->in, n);
	f->in += n;
	f->in_left -= n;
}

// Gathers a part of `want` bytes in field; true once it is whole.
static bool gather(flow *f, size_t want, bool header)
{
	size_t n = want - have < f->in_left ? want - have : f->in_left;
	memcpy(field + have, f->in, n);
	take(f, n, header);
	have += n;
	return have == want;
}

// A zero-terminated field, taken in blocks; true once its end is taken.
static bool string(flow *f)
{
	const auto *zero = static_cast<const unsigned char *>(memchr(f->in, 0, f->in_left));
	take(f, zero != nullptr ? static_cast<size_t>(zero - f->in) + 1 : f->in_left, true);
	return zero != nullptr;
}

static uint32_t le32(const unsigned char *p)
{
	return p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static const char *begin()
{
	if (body == nullptr) {
		// malloc, not new: the zcat does not load libstdc++.
		if (!first_taken.test_and_set())
			body = &first_body;
		else if (void *m = malloc(sizeof(deflate)))
			body = new (m) deflate;
		else
			return "Cannot allocate memory";
	}
	part = FIXED;
	have = 0;
	hcrc = 0;
	return nullptr;
}

static step run(flow *f)
{
	for (;;) {
		switch (part) {
		case FIXED:
			if (!gather(f, 10, true))
				return STEP_MORE;
			if (field[2] != 8) {
				(void)snprintf(message, sizeof message,
					       "unknown method %d -- not supported", field[2]);
				return fail(f, message);
			}
			flags = field[3];
			// ISA-L's own header parser lets these pass; gzip does not.
			if ((flags & FUNKNOWN) != 0) {
				(void)snprintf(message, sizeof message,
					       "has flags 0x%x -- not supported", flags);
				return fail(f, message);
			}
			have = 0;
			part = (flags & FEXTRA) != 0 ? EXTRA_LEN : NAME;
			break;
		case EXTRA_LEN:
			if (!gather(f, 2, true))
				return STEP_MORE;
			extra_left = field[0] | (size_t)field[1] << 8;
			part = EXTRA;
			break;
		case EXTRA: {
			size_t n = extra_left < f->in_left ? extra_left : f->in_left;
			take(f, n, true);
			extra_left -= n;
			if (extra_left > 0)
				return STEP_MORE;
			part = NAME;
			break;
		}
		case NAME:
			if ((flags & FNAME) != 0 && !string(f))
				return STEP_MORE;
			part = COMMENT;
			break;
		case COMMENT:
			if ((flags & FCOMMENT) != 0 && !string(f))
				return STEP_MORE;
			have = 0;
			part = HCRC;
			break;
		case HCRC:
			if ((flags & FHCRC) != 0) {
				if (!gather(f, 2, false))
					return STEP_MORE;
				unsigned want = hcrc & 0xffff, got = field[0] | field[1] << 8;
				if (got != want) {
					(void)snprintf(message, sizeof message,
						       "header checksum 0x%04x != computed "
						       "checksum 0x%04x",
						       got, want);
					return fail(f, message);
				}
			}
			deflate_begin(body);
			part = BODY;
			break;
		case BODY:
			// The bytes ISA-L took past the data are the trailer's.
			if (step s = deflate_run(body, f, field, &have); s != STEP_END)
				return s;
			part = TRAILER;
			break;
		case TRAILER:
			if (!gather(f, 8, false))
				return STEP_MORE;
			if (le32(field) != body->crc)
				return fail(f, "invalid compressed data--crc error");
			// The length modulo 2^32, as the trailer has it.
			if (le32(field + 4) != (uint32_t)body->out)
				return fail(f, "invalid compressed data--length error");
			return STEP_END;
		}
	}
}

// BGZF: members of 64 KiB at most, each saying its length in its header.
// A piece of some 32 KiB of them keeps memory as low as the members' own
// tools; each member's header and its trailer's size are looked at
// where they are, the piece's bytes read once, by the driver.
constexpr size_t BGZF_PIECE = 32 << 10;

// The length of the BGZF member that p[0..n) starts, or 0: its header says
// it is one, and how long it is.
static size_t bgzf(const unsigned char *p, size_t n)
{
	if (n < 18 || p[0] != 0x1f || p[1] != 0x8b || p[2] != 8 || (p[3] & 4) == 0)
		return 0;
	size_t end = 12 + cut_le(p + 10, 2);
	for (size_t i = 12; i + 6 <= end && end <= n; i += 4 + cut_le(p + i + 2, 2))
		if (p[i] == 'B' && p[i + 1] == 'C' && cut_le(p + i + 2, 2) == 2) {
			size_t len = cut_le(p + i + 4, 2) + 1;
			return len >= end + 8 ? len : 0;
		}
	return 0;
}

static bool bgzf_start(uint64_t at, uint64_t)
{
	const unsigned char *p = cut_look(at, 18);
	return p != nullptr && bgzf(p, 18) > 0;
}

static bool bgzf_scan(piece *p)
{
	size_t len = 0, want = p->want < BGZF_PIECE ? (size_t)p->want : BGZF_PIECE;
	for (const unsigned char *h; len < want && (h = cut_look(p->at + len, 12)) != nullptr;) {
		size_t head = 12 + cut_le(h + 10, 2); // with its extra fields
		h = head <= 64 ? cut_look(p->at + len, head) : nullptr;
		size_t m = h != nullptr ? bgzf(h, head) : 0;
		const unsigned char *isize = m > 0 ? cut_look(p->at + len + m - 4, 4) : nullptr;
		if (isize == nullptr)
			break;
		len += m;
		p->size += cut_le(isize, 4);
	}
	p->len = len;
	p->state = sizeof(deflate);
	return len > 0;
}

// ISA-L's state: the static one is free for the next thread to take.
static void bgzf_drop()
{
	if (body == &first_body)
		first_taken.clear();
	else
		free(body);
	body = nullptr;
}

static const cutter bgzf_cuts = {bgzf_start, bgzf_scan, cut_streams, nullptr, nullptr,
				 bgzf_drop,  false,     false,       true};

// 1f 9e is gzip's older magic for the same format. Only zero padding or
// another member may follow a member: gzip would also take .Z, LZH or
// packed data there, none of them checked as a member is.
const unit gzip_unit = {
	"gzip",    {{2, {0x1f, 0x8b}}, {2, {0x1f, 0x9e}}}, 1, false, false, begin, run, nullptr,
	&bgzf_cuts};
