// The shape of every format's decoder in ztext's zcat: fed input, it writes
// output, and it says where its stream ended. The loop in io.cpp drives it
// from a descriptor; the tests and the fuzzer drive it from memory.
#ifndef ZTEXT_ZCAT_UNIT_H
#define ZTEXT_ZCAT_UNIT_H

#include <cstddef>

// gzip's exit statuses.
enum : unsigned char { GZ_OK = 0, GZ_ERROR = 1, GZ_WARNING = 2 };

enum step : unsigned char {
	STEP_MORE,   // all of the input is used, or all of the room: call again with more
	STEP_END,    // the stream ended; in points just past its last byte
	STEP_ERROR,  // malformed, cut short or failed: status 1, `error` in gzip's words
	STEP_REFUSE, // left unread on purpose: status 2, `error` says why
};

struct flow {
	const unsigned char *in; // input not yet taken; advanced past what is taken
	size_t in_left;
	unsigned char *out; // room for output; advanced past what is written
	size_t out_left;
	bool last;         // nothing follows in[0..in_left): the input ends there
	const char *error; // with STEP_ERROR and STEP_REFUSE
};

// The longest start of a stream that tells its format.
constexpr size_t MAGIC_MAX = 6;

struct magic {
	unsigned char len;
	unsigned char bytes[MAGIC_MAX];
};

struct unit {
	const char *format;  // for messages
	magic magics[2];     // the first bytes of a stream; len 0 where there is one
	unsigned char zeros; // zero bytes after a stream: 0 none, 1 up to the end, 4 in fours
	bool skippable;      // skippable frames (5x 2a 4d 18) may stand between streams
	bool to_end;         // one stream runs to the end of the input
	// A stream starts: loads the library the first time. nullptr, or why not.
	const char *(*begin)();
	// Takes input, the stream from its first byte, and gives output, at
	// least until one of them runs out.
	// STEP_MORE only with in_left or out_left 0; input left is offered
	// again. With `last`, room left and in_left 0, the caller says the input
	// was cut short.
	step (*run)(flow *f);
	// Whether p[0..n), MAGIC_MAX bytes where the input has them, starts a
	// stream, where fixed bytes cannot tell; then in place of `magics`.
	bool (*claims)(const unsigned char *p, size_t n) = nullptr;
};

// A run ends with `why`: the stream is malformed, or left unread on purpose.
inline step fail(flow *f, const char *why)
{
	f->error = why;
	return STEP_ERROR;
}

inline step refuse(flow *f, const char *why)
{
	f->error = why;
	return STEP_REFUSE;
}

extern const unit gzip_unit, zip_unit, xz_unit, zstd_unit, bzip2_unit, lzip_unit, lz4_unit,
	lzw_unit, lzma_unit;

// A window larger than this is refused: memory stays fixed whatever the stream.
constexpr unsigned WINDOW_LOG_MAX = 27;

#endif
