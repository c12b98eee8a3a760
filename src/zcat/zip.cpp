// A zip file of exactly one entry, deflated or stored, read in one pass:
// the entry's local header, its data, checked against the header or the
// data descriptor, then its central directory record and the end record,
// which must agree with what was read and end the input. gzip reads the
// first entry alone; here whatever else a zip could hold is refused, and so
// is whatever another reader could read otherwise: a record's signature in
// a name, an extra field, a comment or a record's fields (where a reader
// that scans back for the end record, or looks for a zip64 locator just
// before it, could find another), zip64 records, a version needed to
// extract that unzip refuses, and flags that differ from record to record.
#include <cstdint>
#include <cstring>

#include "deflate.h"

enum : uint32_t {
	LOCAL_SIG = 0x04034b50,
	DESCRIPTOR_SIG = 0x08074b50,
	CENTRAL_SIG = 0x02014b50,
	END_SIG = 0x06054b50,
	ZIP64_END_SIG = 0x06064b50,
	ZIP64_LOCATOR_SIG = 0x07064b50,
	ZIP64_SIZE = 0xffffffff,
};
constexpr unsigned LOCAL_LEN = 30, CENTRAL_LEN = 46, END_LEN = 22, DESCRIPTOR_LEN = 12;
constexpr unsigned ENCRYPTED = 1, DESCRIPTOR = 8, STORED = 0, DEFLATED = 8, ZIP64_EXTRA = 1;
// Flags read here: 1 and 2, deflate's level (no effect on reading); 3,
// sizes and CRC in a data descriptor; 11, a UTF-8 name. Any other bit
// (encryption, patched data, strong encryption, a masked local header,
// reserved bits) is refused, and the local and central records must agree
// in every bit, as zip 3.0's records always do: unzip warns when they
// differ, and a reader that follows either record must read the same.
constexpr unsigned KNOWN_FLAGS = 0x080e;
// unzip 6.0 extracts an entry needing version 4.6 (bzip2) at most, and
// exits 81 above it; it reads the central record's low byte alone. The
// high byte names the host, as in "version made by": 7-Zip for Linux
// writes 0x030a and 0x0314, which every reader reads.
constexpr unsigned VERSION_MAX = 46;

static const char NOT_ONE[] = "zip file does not hold exactly one entry -- not read",
		  MORE_THAN_ONE[] = "has more than one entry -- not read",
		  ZIP64[] = "zip64 archive -- not read",
		  CENTRAL_WRONG[] = "central directory does not match the entry -- not read",
		  VERSION[] = "entry needs a later version of zip to extract -- not read",
		  SIGNATURE[] =
			  "zip record inside a name, extra field, comment or record -- not read";

// Where the file stands.
static enum : unsigned char {
	LOCAL,
	NAME,
	DATA,
	AFTER_DATA,
	CENTRAL,
	CENTRAL_NAME,
	CENTRAL_EXTRA,
	CENTRAL_COMMENT,
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
static uint32_t header_crc, header_in, header_out; // the local header's, before a descriptor
static size_t central_extra_len;
static uint32_t window; // the last four bytes scanned, the latest highest
static bool signature;  // a record's signature among the bytes scanned

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

// Looks for a record's signature in the bytes of a record after its own,
// four bytes that may straddle the calls for one record.
static void scan(const unsigned char *p, size_t n)
{
	for (size_t i = 0; i < n; i++) {
		window = window >> 8 | (uint32_t)p[i] << 24;
		if ((window & 0xffff) != 0x4b50)
			continue;
		switch (window >> 16) {
		case 0x0201: // central header
		case 0x0403: // local header
		case 0x0505: // digital signature
		case 0x0605: // end record
		case 0x0606: // zip64 end record
		case 0x0706: // zip64 locator
		case 0x0806: // archive extra data
		case 0x0807: // data descriptor
			signature = true;
			break;
		default:
			break;
		}
	}
}

// A record starts: its fields after the signature are scanned from here.
static void scan_record(const unsigned char *p, size_t n)
{
	window = 0;
	scan(p, n);
}

// Skips `left` bytes, scanning them; true once they are skipped.
static bool skip(flow *f)
{
	size_t n = left < f->in_left ? (size_t)left : f->in_left;
	scan(f->in, n);
	take(f, n);
	left -= n;
	return left == 0;
}

static const char *begin()
{
	part = LOCAL;
	have = 0;
	signature = false;
	return nullptr;
}

// What is wrong with an extra field, if anything: a zip64 record, or a
// field that runs past its end.
static const char *extra_fault(const unsigned char *p, size_t n)
{
	while (n >= 4) {
		size_t len = 4 + le16(p + 2);
		if (le16(p) == ZIP64_EXTRA)
			return ZIP64;
		if (len > n)
			break;
		p += len;
		n -= len;
	}
	// Readers that walk the fields refuse one that runs past its end.
	return n == 0 ? nullptr : "malformed extra field -- not read";
}

static step local_header(flow *f)
{
	flags = le16(field + 6);
	method = le16(field + 8);
	local_crc = le32(field + 14);
	local_in = le32(field + 18);
	local_out = le32(field + 22);
	header_crc = local_crc;
	header_in = local_in;
	header_out = local_out;
	name_len = le16(field + 26);
	extra_len = le16(field + 28);
	if ((flags & ENCRYPTED) != 0)
		return refuse(f, "encrypted entry -- not read");
	if ((flags & ~KNOWN_FLAGS) != 0)
		return refuse(f, "entry with flags not known here -- not read");
	if ((le16(field + 4) & 0xff) > VERSION_MAX)
		return refuse(f, VERSION);
	if (method != STORED && method != DEFLATED)
		return refuse(f, "first entry not deflated or stored -- not read");
	// Only the deflate data tell where they end.
	if (method == STORED && (flags & DESCRIPTOR) != 0)
		return refuse(f, "stored entry of unknown length -- not read");
	if (local_in == ZIP64_SIZE || local_out == ZIP64_SIZE)
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
	// Before a descriptor, the local header's fields are 0 (zip 3.0 writes
	// the length of the content) or the descriptor's: a reader may trust them.
	if ((flags & DESCRIPTOR) != 0 &&
	    ((header_crc != 0 && header_crc != crc) || (header_in != 0 && header_in != in_size) ||
	     (header_out != 0 && header_out != out_size)))
		return refuse(f, "local header does not match the data descriptor -- not read");
	central_at = LOCAL_LEN + name_len + extra_len + in_size + descriptor_len;
	part = CENTRAL;
	return STEP_MORE;
}

static step central(flow *f)
{
	if (le32(field + 20) == ZIP64_SIZE || le32(field + 24) == ZIP64_SIZE ||
	    le32(field + 42) == ZIP64_SIZE)
		return refuse(f, ZIP64);
	if ((le16(field + 6) & 0xff) > VERSION_MAX)
		return refuse(f, VERSION);
	if (le16(field + 8) != flags)
		return refuse(f, "local and central records differ in their flags -- not read");
	// A folder's or a link's entry: an extractor makes the one or the other
	// and reads no content. By the name, the DOS attributes, or the mode
	// where a Unix system made it.
	uint32_t attributes = le32(field + 38), type = attributes >> 16 & 0170000;
	if ((name_len > 0 && text[name_len - 1] == '/') || (attributes & 0x10) != 0 ||
	    (field[5] == 3 && type != 0 && type != 0100000))
		return refuse(f, "entry is not a file -- not read");
	if (le16(field + 10) != method || le32(field + 16) != crc || le32(field + 20) != in_size ||
	    le32(field + 24) != out_size || le16(field + 28) != name_len || le16(field + 34) != 0 ||
	    le32(field + 42) != 0)
		return refuse(f, CENTRAL_WRONG);
	scan_record(field + 4, CENTRAL_LEN - 4);
	central_extra_len = le16(field + 30);
	left = le16(field + 32);
	central_len = CENTRAL_LEN + name_len + central_extra_len + left;
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
	scan_record(field + 4, END_LEN - 4);
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
			if (const char *why = extra_fault(text + name_len, extra_len))
				return refuse(f, why);
			scan_record(field + 4, LOCAL_LEN - 4);
			scan(text, name_len + extra_len);
			if (signature)
				return refuse(f, SIGNATURE);
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
			scan(f->in, n);
			take(f, n);
			have += n;
			if (have < name_len)
				return STEP_MORE;
			have = 0;
			part = CENTRAL_EXTRA;
			break;
		}
		case CENTRAL_EXTRA:
			if (!gather(f, text + name_len, central_extra_len))
				return STEP_MORE;
			if (const char *why = extra_fault(text + name_len, central_extra_len))
				return refuse(f, why);
			scan(text + name_len, central_extra_len);
			part = CENTRAL_COMMENT;
			break;
		case CENTRAL_COMMENT:
			if (!skip(f))
				return STEP_MORE;
			if (signature)
				return refuse(f, SIGNATURE);
			have = 0;
			part = END;
			break;
		case END:
			if (!gather(f, field, 4))
				return STEP_MORE;
			if (le32(field) == CENTRAL_SIG)
				return refuse(f, MORE_THAN_ONE);
			if (le32(field) == ZIP64_END_SIG || le32(field) == ZIP64_LOCATOR_SIG)
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
			if (signature)
				return refuse(f, SIGNATURE);
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
