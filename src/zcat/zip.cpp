// A zip file of exactly one entry, deflated or stored, read in one pass:
// the entry's local header, its data, checked against the header or the
// data descriptor, then its central directory record and the end record,
// which must agree with what was read and end the input. gzip reads the
// first entry alone; here whatever else a zip could hold is refused.
#include <cstdint>
#include <cstring>

#include "deflate.h"

enum : uint32_t {
	LOCAL_SIG = 0x04034b50,
	DESCRIPTOR_SIG = 0x08074b50,
	CENTRAL_SIG = 0x02014b50,
	END_SIG = 0x06054b50,
	ZIP64_END_SIG = 0x06064b50,
	ZIP64_SIZE = 0xffffffff,
};
constexpr unsigned LOCAL_LEN = 30, CENTRAL_LEN = 46, END_LEN = 22, DESCRIPTOR_LEN = 12;
constexpr unsigned ENCRYPTED = 1, DESCRIPTOR = 8, STORED = 0, DEFLATED = 8, ZIP64_EXTRA = 1;

static const char NOT_ONE[] = "zip file does not hold exactly one entry -- not read",
		  MORE_THAN_ONE[] = "has more than one entry -- not read",
		  ZIP64[] = "zip64 archive -- not read",
		  CENTRAL_WRONG[] = "central directory does not match the entry -- not read";

// Where the file stands.
static enum : unsigned char {
	LOCAL,
	NAME,
	DATA,
	AFTER_DATA,
	CENTRAL,
	CENTRAL_NAME,
	CENTRAL_REST,
	END,
	COMMENT,
	DONE,
} part;

static deflate body;
static unsigned char field[CENTRAL_LEN]; // a record of fixed length, as far as it has come
static unsigned char text[2 * 65535];    // the local header's name, then its extra field
static size_t have;
static unsigned flags, method;
static size_t name_len, extra_len;
static uint32_t local_crc, local_in, local_out; // as the local header or the descriptor has them
static size_t descriptor_len;
static uint64_t left;              // bytes of stored data, or of a field being skipped
static uint32_t crc;               // of the content
static uint64_t in_size, out_size; // of the entry's data and content
static uint64_t central_at, central_len;

static uint32_t le16(const unsigned char *p) { return p[0] | (uint32_t)p[1] << 8; }

static uint32_t le32(const unsigned char *p) { return le16(p) | le16(p + 2) << 16; }

static void take(flow *f, size_t n)
{
	f->in += n;
	f->in_left -= n;
}

// Gathers `want` bytes in to; true once they are all there.
static bool gather(flow *f, unsigned char *to, size_t want)
{
	if (have < want) {
		size_t n = want - have < f->in_left ? want - have : f->in_left;
		memcpy(to + have, f->in, n);
		take(f, n);
		have += n;
	}
	return have >= want;
}

// Skips `left` bytes; true once they are skipped.
static bool skip(flow *f)
{
	size_t n = left < f->in_left ? (size_t)left : f->in_left;
	take(f, n);
	left -= n;
	return left == 0;
}

static const char *begin()
{
	part = LOCAL;
	have = 0;
	return nullptr;
}

// Whether an extra field holds a zip64 record.
static bool zip64_extra(const unsigned char *p, size_t n)
{
	while (n >= 4) {
		size_t len = 4 + le16(p + 2);
		if (le16(p) == ZIP64_EXTRA)
			return true;
		if (len > n)
			break;
		p += len;
		n -= len;
	}
	return false;
}

static step local_header(flow *f)
{
	flags = le16(field + 6);
	method = le16(field + 8);
	local_crc = le32(field + 14);
	local_in = le32(field + 18);
	local_out = le32(field + 22);
	name_len = le16(field + 26);
	extra_len = le16(field + 28);
	if ((flags & ENCRYPTED) != 0)
		return refuse(f, "encrypted entry -- not read");
	if (method != STORED && method != DEFLATED)
		return refuse(f, "first entry not deflated or stored -- not read");
	// Only the deflate data tell where they end.
	if (method == STORED && (flags & DESCRIPTOR) != 0)
		return refuse(f, "stored entry of unknown length -- not read");
	if ((flags & DESCRIPTOR) == 0 && (local_in == ZIP64_SIZE || local_out == ZIP64_SIZE))
		return refuse(f, ZIP64);
	if (method == STORED && local_in != local_out)
		return fail(f, "invalid compressed data--length mismatch");
	return STEP_MORE;
}

// Stored data; true once they are all copied.
static bool copy(flow *f)
{
	size_t n = left < f->in_left ? (size_t)left : f->in_left;
	n = n < f->out_left ? n : f->out_left;
	memcpy(f->out, f->in, n);
	crc = gzip_crc(crc, f->in, n);
	take(f, n);
	f->out += n;
	f->out_left -= n;
	left -= n;
	in_size += n;
	out_size += n;
	return left == 0;
}

// The data descriptor, with or without its signature; true once it is read.
static bool descriptor(flow *f)
{
	if (!gather(f, field, 4))
		return false;
	descriptor_len = DESCRIPTOR_LEN + (le32(field) == DESCRIPTOR_SIG ? 4 : 0);
	if (!gather(f, field, descriptor_len))
		return false;
	const unsigned char *p = field + descriptor_len - DESCRIPTOR_LEN;
	local_crc = le32(p);
	local_in = le32(p + 4);
	local_out = le32(p + 8);
	// ISA-L takes at most 8 bytes past the data: none past the descriptor.
	have = 0;
	return true;
}

// The data against the local header or the data descriptor.
static step check(flow *f)
{
	if (local_crc != crc)
		return fail(f, "invalid compressed data--crc error");
	if (local_in != in_size || local_out != out_size)
		return fail(f, "invalid compressed data--length error");
	central_at = LOCAL_LEN + name_len + extra_len + in_size + descriptor_len;
	part = CENTRAL;
	return STEP_MORE;
}

static step central(flow *f)
{
	if (le32(field + 20) == ZIP64_SIZE || le32(field + 24) == ZIP64_SIZE ||
	    le32(field + 42) == ZIP64_SIZE)
		return refuse(f, ZIP64);
	if ((le16(field + 8) & ENCRYPTED) != 0 || le16(field + 10) != method ||
	    le32(field + 16) != crc || le32(field + 20) != in_size ||
	    le32(field + 24) != out_size || le16(field + 28) != name_len || le16(field + 34) != 0 ||
	    le32(field + 42) != 0)
		return refuse(f, CENTRAL_WRONG);
	left = le16(field + 30) + le16(field + 32);
	central_len = CENTRAL_LEN + name_len + left;
	have = 0;
	part = CENTRAL_NAME;
	return STEP_MORE;
}

static step end(flow *f)
{
	if (le16(field + 4) != 0 || le16(field + 6) != 0 || le16(field + 8) != 1 ||
	    le16(field + 10) != 1 || le32(field + 12) != central_len ||
	    le32(field + 16) != central_at)
		return refuse(f, "end of central directory does not match -- not read");
	left = le16(field + 20);
	part = COMMENT;
	return STEP_MORE;
}

static step run(flow *f)
{
	step s = STEP_MORE;
	for (;;) {
		switch (part) {
		case LOCAL:
			if (!gather(f, field, LOCAL_LEN))
				return STEP_MORE;
			s = local_header(f);
			if (s != STEP_MORE)
				return s;
			have = 0;
			part = NAME;
			break;
		case NAME:
			if (!gather(f, text, name_len + extra_len))
				return STEP_MORE;
			if (zip64_extra(text + name_len, extra_len))
				return refuse(f, ZIP64);
			deflate_begin(&body);
			crc = 0;
			left = local_in;
			in_size = out_size = 0;
			descriptor_len = 0;
			have = 0;
			part = DATA;
			break;
		case DATA:
			if (method == STORED && !copy(f))
				return STEP_MORE;
			if (method == DEFLATED) {
				// The bytes ISA-L took past the data are the next record's.
				s = deflate_run(&body, f, field, &have);
				if (s != STEP_END)
					return s;
				crc = body.crc;
				in_size = body.in;
				out_size = body.out;
			}
			part = AFTER_DATA;
			break;
		case AFTER_DATA:
			if ((flags & DESCRIPTOR) != 0 && !descriptor(f))
				return STEP_MORE;
			s = check(f);
			if (s != STEP_MORE)
				return s;
			break;
		case CENTRAL:
			if (!gather(f, field, 4))
				return STEP_MORE;
			if (le32(field) == LOCAL_SIG)
				return refuse(f, MORE_THAN_ONE);
			if (le32(field) != CENTRAL_SIG)
				return refuse(f, NOT_ONE);
			if (!gather(f, field, CENTRAL_LEN))
				return STEP_MORE;
			s = central(f);
			if (s != STEP_MORE)
				return s;
			break;
		case CENTRAL_NAME: {
			size_t n = name_len - have < f->in_left ? name_len - have : f->in_left;
			if (memcmp(f->in, text + have, n) != 0)
				return refuse(f, CENTRAL_WRONG);
			take(f, n);
			have += n;
			if (have < name_len)
				return STEP_MORE;
			part = CENTRAL_REST;
			break;
		}
		case CENTRAL_REST:
			if (!skip(f))
				return STEP_MORE;
			have = 0;
			part = END;
			break;
		case END:
			if (!gather(f, field, 4))
				return STEP_MORE;
			if (le32(field) == CENTRAL_SIG)
				return refuse(f, MORE_THAN_ONE);
			if (le32(field) == ZIP64_END_SIG)
				return refuse(f, ZIP64);
			if (le32(field) != END_SIG)
				return refuse(f, NOT_ONE);
			if (!gather(f, field, END_LEN))
				return STEP_MORE;
			s = end(f);
			if (s != STEP_MORE)
				return s;
			break;
		case COMMENT:
			if (!skip(f))
				return STEP_MORE;
			part = DONE;
			break;
		case DONE:
			if (f->in_left > 0)
				return refuse(f, "data after the end of the zip file -- not read");
			return f->last ? STEP_END : STEP_MORE;
		}
	}
}

const unit zip_unit = {"zip", {{4, {0x50, 0x4b, 3, 4}}, {}}, 0, false, true, begin, run};
