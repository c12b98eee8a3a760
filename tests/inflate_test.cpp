// The zcat's own inflate against ISA-L's: deflate streams made by zlib, a
// piece decoded from each block start without the bytes before it, then
// resolved with them, must give ISA-L's bytes; the search must find block
// starts and nothing else.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include "harness.h"
#include "zcat/inflate.h"

namespace {

// Raw deflate of content cut in `parts`, each with its level, strategy and flush.
struct part {
	size_t size;
	int level, strategy, flush;
};

std::string deflate_parts(const std::string &content, const std::vector<part> &parts)
{
	z_stream z{};
	EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY), Z_OK);
	std::string out(content.size() + content.size() / 8 + 4096, '\0');
	z.next_out = reinterpret_cast<Bytef *>(out.data());
	z.avail_out = static_cast<uInt>(out.size());
	size_t at = 0;
	for (size_t i = 0; at < content.size() || i == 0; i++) {
		const part &p = parts[i % parts.size()];
		EXPECT_EQ(deflateParams(&z, p.level, p.strategy), Z_OK);
		size_t k = std::min(p.size, content.size() - at);
		z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(content.data() + at));
		z.avail_in = static_cast<uInt>(k);
		at += k;
		EXPECT_NE(deflate(&z, at == content.size() ? Z_FINISH : p.flush), Z_STREAM_ERROR);
	}
	out.resize(z.total_out);
	deflateEnd(&z);
	return out;
}

// Where zlib's inflate finds each block start, and the output before it; the
// last pair is the stream's end.
std::vector<std::pair<uint64_t, size_t>> blocks(const std::string &s, size_t size)
{
	std::vector<std::pair<uint64_t, size_t>> b{{0, 0}};
	std::string out(size + 1, '\0');
	z_stream z{};
	EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
	z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(s.data()));
	z.avail_in = static_cast<uInt>(s.size());
	z.next_out = reinterpret_cast<Bytef *>(out.data());
	z.avail_out = static_cast<uInt>(out.size());
	for (int r = Z_OK; r == Z_OK;) {
		r = inflate(&z, Z_BLOCK);
		EXPECT_GE(r, Z_OK);
		uint64_t at = z.total_in * 8 - (z.data_type & 63);
		if ((r == Z_STREAM_END || (z.data_type & 192) == 128) && at != b.back().first)
			b.emplace_back(at, z.total_out);
	}
	inflateEnd(&z);
	return b;
}

// ISA-L's whole decoding, as far as it gets.
std::string isal(const std::string &s, size_t size)
{
	std::string out(size + 65536, '\0');
	inflate_state st;
	isal_inflate_init(&st);
	st.crc_flag = ISAL_DEFLATE;
	st.next_in = reinterpret_cast<uint8_t *>(const_cast<char *>(s.data()));
	st.avail_in = static_cast<uint32_t>(s.size());
	st.next_out = reinterpret_cast<uint8_t *>(out.data());
	st.avail_out = static_cast<uint32_t>(out.size());
	(void)isal_inflate(&st);
	out.resize(st.total_out);
	return out;
}

// Decodes and resolves bits [from, to) of s, given the window before.
bool piece(const std::string &s, uint64_t from, uint64_t to, const unsigned char *window,
	   size_t have, std::string *out, inflate_piece *p, std::vector<uint16_t> *buf)
{
	*p = {buf->data(), buf->size(), 0, 0, 0, 0, false};
	if (!inflate_decode(reinterpret_cast<const unsigned char *>(s.data()), s.size(), from, to,
			    p))
		return false;
	out->assign(p->len, '\0');
	return inflate_resolve(p, window, have, reinterpret_cast<unsigned char *>(out->data()));
}

std::string noise(size_t n, unsigned seed)
{
	std::mt19937 rng(seed);
	std::string s(n, '\0');
	for (char &c : s)
		c = static_cast<char>(rng() % 40 == 0 ? '\n' : 'a' + rng() % 26);
	return s;
}

// What zlib never writes: 32 KiB stored, then a fixed block of copies of
// 258 from 32768 back and one from 1 back.
std::pair<std::string, std::string> far()
{
	std::string content = noise(32768, 2), s = '\0' + le(32768, 2) + le(32767, 2) + content;
	int n = 0;
	auto put = [&](uint32_t v, int k, bool code) { // a code goes from its top bit
		for (int i = 0; i < k; i++, n++) {
			s += n % 8 == 0 ? std::string(1, '\0') : "";
			s.back() = static_cast<char>(s.back() | (v >> (code ? k - 1 - i : i) & 1)
									<< (n % 8));
		}
	};
	put(3, 3, false);
	for (uint32_t d : {32768, 32768, 1}) {
		put(0xc5, 8, true);
		put(d == 1 ? 0 : 29, 5, true);
		put(d - (d == 1 ? 1 : 24577), d == 1 ? 0 : 13, false);
		content += d == 1 ? std::string(258, content.back())
				  : content.substr(content.size() - d, 258);
	}
	put(0, 7, true);
	return {content, s};
}

// The bits that start a block: 2 for a fixed one, 4 dynamic, 0 stored; +1 last.
unsigned kind(const std::string &s, uint64_t at)
{
	unsigned v = static_cast<unsigned char>(s[at / 8]) |
		     (at / 8 + 1 < s.size() ? static_cast<unsigned char>(s[at / 8 + 1]) << 8 : 0);
	return v >> (at % 8) & 7;
}

const std::string text = lines(6000) + noise(60000, 1) + lines(4000, "over the lazy dog");
const std::vector<part> mixed = {{9000, 9, Z_DEFAULT_STRATEGY, Z_FULL_FLUSH},
				 {7000, 6, Z_FIXED, Z_BLOCK},
				 {5000, 0, Z_DEFAULT_STRATEGY, Z_SYNC_FLUSH},
				 {3000, 1, Z_HUFFMAN_ONLY, Z_BLOCK},
				 {11000, 6, Z_RLE, Z_BLOCK}};

} // namespace

// From each block start, the window slid from the pieces before.
TEST(Inflate, PiecesAsIsal)
{
	auto [far_content, far_stream] = far();
	std::string xs(300000, 'x');
	const struct {
		const char *what;
		std::string content, stream;
		size_t reach; // the farthest a piece copies from before it, at least
	} rows[] = {
		{"dynamic, cut at any bit", text,
		 deflate_parts(text, {{20000, 6, Z_DEFAULT_STRATEGY, Z_BLOCK}}), 30000},
		{"fixed", text, deflate_parts(text, {{15000, 6, Z_FIXED, Z_BLOCK}}), 20000},
		{"stored", text, deflate_parts(text, {{70000, 0, Z_DEFAULT_STRATEGY, Z_BLOCK}}), 0},
		{"each kind in turn", text, deflate_parts(text, mixed), 0},
		{"longest length and distance", far_content, far_stream, INFLATE_WINDOW},
		{"one long run", xs, deflate_parts(xs, {{100000, 6, Z_DEFAULT_STRATEGY, Z_BLOCK}}),
		 1},
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.what);
		const std::string &s = r.stream;
		ASSERT_EQ(isal(s, r.content.size()), r.content);
		auto b = blocks(s, r.content.size());
		ASSERT_GE(b.size(), 3U);
		std::vector<uint16_t> buf(r.content.size() + 16), small;
		unsigned char window[INFLATE_WINDOW];
		size_t have = 0, reach = 0;
		std::string all, out;
		for (size_t i = 0; i + 1 < b.size(); i++) {
			SCOPED_TRACE(i);
			auto [from, at] = b[i];
			inflate_piece p{};
			// To the final block wherever it ends, to exactly there
			// (zlib gives it to the byte), and to the next block.
			uint64_t end = 0;
			for (uint64_t to : {INFLATE_FINAL, uint64_t{0}, b[i + 1].first}) {
				bool whole = to != b[i + 1].first;
				if (!whole && i + 2 == b.size())
					break;
				to = to == 0 ? end : to;
				ASSERT_TRUE(piece(s, from, to, window, have, &out, &p, &buf));
				ASSERT_EQ(out, r.content.substr(at, whole ? std::string::npos
									  : b[i + 1].second - at));
				EXPECT_EQ(p.final, whole);
				EXPECT_EQ(p.end, to == INFLATE_FINAL ? p.end : to);
				end = p.end;
			}
			EXPECT_TRUE(i + 2 < b.size() || (end + 7) / 8 * 8 == b.back().first);
			reach = std::max(reach, p.reach);
			all += out;
			// A window shorter than the piece reaches, a block end missed,
			// too little room: declined. (A stored block may start at any
			// zero bit before its byte.)
			if (p.reach > 0) {
				EXPECT_FALSE(piece(s, from, p.end, window + have - p.reach + 1,
						   p.reach - 1, &out, &p, &buf));
			}
			for (uint64_t to : {b[i + 1].first - 1, b[i + 1].first + 1}) {
				EXPECT_FALSE(kind(s, b[i + 1].first) != 0 &&
					     piece(s, from, to, window, have, &out, &p, &buf));
			}
			small.resize(b[i + 1].second - at - (b[i + 1].second > at));
			EXPECT_FALSE(b[i + 1].second > at && piece(s, from, b[i + 1].first, window,
								   have, &out, &p, &small));
			// A bit flipped in the piece: declined, or ISA-L reads the same.
			for (uint64_t bit = from + 1; bit < b[i + 1].first; bit += 1999) {
				std::string bad = s;
				bad[bit / 8] = static_cast<char>(bad[bit / 8] ^ 1 << (bit % 8));
				if (piece(bad, from, b[i + 1].first, window, have, &out, &p,
					  &buf)) {
					EXPECT_EQ(isal(bad, 2 * r.content.size())
							  .substr(at, out.size()),
						  out);
				}
			}
			inflate_slide(
				window, &have,
				reinterpret_cast<const unsigned char *>(r.content.data() + at),
				b[i + 1].second - at);
		}
		EXPECT_EQ(all, r.content);
		EXPECT_GE(reach, r.reach);
		// The search finds the dynamic blocks that are not the last, and
		// each stored one with three more such or stored after it, at the
		// last bit it may start at, and no other bit; the piece from the
		// first block to where it found one ends there.
		const auto *in = reinterpret_cast<const unsigned char *>(s.data());
		std::vector<uint64_t> found, starts;
		for (uint64_t at = inflate_find(in, s.size(), 0, INFLATE_NONE); at != INFLATE_NONE;
		     at = inflate_find(in, s.size(), at + 1, INFLATE_NONE)) {
			found.push_back(at);
			size_t j = 0;
			while (b[j + 1].first <= at)
				j++;
			inflate_piece p{};
			EXPECT_TRUE(j == 0 || (piece(s, 0, at, nullptr, 0, &out, &p, &buf) &&
					       out == r.content.substr(0, b[j].second)));
		}
		for (size_t i = 0; i + 1 < b.size(); i++) {
			size_t k = i;
			while (k + 1 < b.size() && k < i + 3 && kind(s, b[k].first) == 0)
				k++;
			if (kind(s, b[k].first) == 4 || kind(s, b[k].first) == 0)
				starts.push_back(kind(s, b[i].first) == 4
							 ? b[i].first
							 : (b[i].first + 10) / 8 * 8 - 3);
		}
		EXPECT_EQ(found, starts);
	}
}
