// The shape of every format's decoder in ztext's zcat: fed input, it writes
// output, and it says where its stream ended. The loop in io.cpp drives it
// from a descriptor; the tests and the fuzzer drive it from memory.
#ifndef ZTEXT_ZCAT_UNIT_H
#define ZTEXT_ZCAT_UNIT_H

#include <cstddef>
#include <cstdint>

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

struct cutter;

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
	// How a large file of its units is cut into pieces for threads, or nullptr.
	const cutter *cuts = nullptr;
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

// Where the ordinary reading takes over: at `at` of the input, as just
// after a stream if `after`, with the first `skip` bytes of output dropped.
struct handover {
	uint64_t at, skip;
	bool after;
};

// The pieces in flight at most: the format keeps what else it knows of a
// piece in an array of its own, at the piece's slot.
constexpr unsigned SLOTS_MAX = 64;

// A piece of whole units, decoded on a thread of its own. The driver sets
// `at` and `back` at the end of the piece before, and `want`; the format's
// scan says where the piece is, what its output and its decoder's memory
// come to (a guess where its units do not say), and where the ordinary
// reading takes over should it fail, or, where it makes none, where that
// reading goes on.
struct piece {
	uint64_t at, len; // its bytes in the input
	uint64_t want;    // the compressed bytes it is given at least
	uint64_t size;    // its output
	uint64_t state;   // its decoder's memory, beside its input and output
	handover back;
	unsigned slot;             // [slot] of the format's own array of SLOTS_MAX
	const unsigned char *data; // its bytes: read in, or the input in memory
	unsigned char *out;        // malloc'ed, kept for the slot's next piece
	size_t out_cap, out_len;
	bool broken; // a write failed, said
};

// A format whose input is cut: the driver keeps the threads, the order,
// the memory and the handover, and asks these for the rest.
struct cutter {
	// Whether the whole input, from `at` to `size`, is worth cutting, its
	// units found as far as they must be first; where not, all let go.
	bool (*start)(uint64_t at, uint64_t size);
	// The next piece; false where none is.
	bool (*scan)(piece *p);
	// Decodes it on a thread into p->out; false unless whole and as scanned.
	bool (*work)(piece *p);
	// In order, the piece's work done (ok) or failed: what only the pieces
	// taken in turn can check or finish (a sum over a stream, the window
	// the piece before leaves), and the handover each gets from those
	// before; false where p is not to be written. Or nullptr.
	bool (*in_order)(piece *p, bool ok);
	void (*stop)(); // lets go of what start took; or nullptr
	// Lets go of the decoder's state that the calling thread keeps for its
	// next pieces; called on every thread as the driver stops, as the
	// ordinary reading may need its memory. Or nullptr.
	void (*drop)();
	// Whether what a unit writes before a fault does not hang on how its
	// input is cut, so that the piece next in turn is written as it decodes.
	bool stream_head;
	// Whether a file from a descriptor goes through the pieces on one thread
	// too, as their work is faster than the unit. Input in memory stays with
	// the unit there: the tests and the fuzzer compare the two.
	bool alone;
	// Whether work() reads a piece from a descriptor itself, into cut_chunk()
	// a little at a time (cut_streams does), rather than from p->data, all
	// read before: for pieces whose input is large beside their decoder's
	// window. p->data is then nullptr.
	bool reads = false;
};

extern const unit gzip_unit, zip_unit, xz_unit, zstd_unit, bzip2_unit, lzip_unit, lz4_unit,
	lzw_unit, lzma_unit;

// A window larger than this is refused: memory stays fixed whatever the stream.
constexpr unsigned WINDOW_LOG_MAX = 27;

#endif
