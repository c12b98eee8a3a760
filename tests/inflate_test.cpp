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
#include "inflate.h"

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
		if ((z.data_type & 128) != 0 && (z.data_type & 64) == 0)
			b.emplace_back(z.total_in * 8 - (z.data_type & 63), z.total_out);
		if (r == Z_STREAM_END)
			b.emplace_back(z.total_in * 8 - (z.data_type & 63), z.total_out);
	}
	inflateEnd(&z);
	// The first entry after a header is the same start again.
	if (b.size() > 1 && b[1].first == b[0].first)
		b.erase(b.begin() + 1);
	return b;
}

// ISA-L's whole decoding, or "" where it fails.
std::string isal(const std::string &s, size_t size, bool *ok)
{
	std::string out(size + 65536, '\0');
	inflate_state st;
	isal_inflate_init(&st);
	st.crc_flag = ISAL_DEFLATE;
	st.next_in = reinterpret_cast<uint8_t *>(const_cast<char *>(s.data()));
	st.avail_in = static_cast<uint32_t>(s.size());
	st.next_out = reinterpret_cast<uint8_t *>(out.data());
	st.avail_out = static_cast<uint32_t>(out.size());
	*ok = isal_inflate(&st) == ISAL_DECOMP_OK && st.block_state == ISAL_BLOCK_FINISH;
	out.resize(st.total_out);
	return out;
}

// Decodes and resolves bits [from, to) of s, given all that came before.
bool piece(const std::string &s, uint64_t from, uint64_t to, const std::string &before,
	   std::string *out, inflate_piece *p, std::vector<uint16_t> *buf)
{
	p->out = buf->data();
	p->cap = buf->size();
	const auto *in = reinterpret_cast<const unsigned char *>(s.data());
	if (!inflate_decode(in, s.size(), from, to, p))
		return false;
	out->assign(p->len, '\0');
	return inflate_resolve(p, reinterpret_cast<const unsigned char *>(before.data()),
			       before.size(), reinterpret_cast<unsigned char *>(out->data()));
}

std::string noise(size_t n, unsigned seed)
{
	std::mt19937 rng(seed);
	std::string s(n, '\0');
	for (char &c : s)
		c = static_cast<char>(rng() % 40 == 0 ? '\n' : 'a' + rng() % 26);
	return s;
}

// Bits first bit first; Huffman codes are sent from their top bit.
struct bits {
	std::string s;
	int n = 0;
	void put(uint32_t v, int k)
	{
		for (int i = 0; i < k; i++, n++) {
			if (n % 8 == 0)
				s += '\0';
			s.back() = static_cast<char>(s.back() | ((v >> i & 1) << (n % 8)));
		}
	}
	void code(uint32_t c, int k)
	{
		for (int i = k - 1; i >= 0; i--)
			put(c >> i & 1, 1);
	}
	void literal(unsigned char c) { c < 144 ? code(0x30 + c, 8) : code(0x190 + c - 144, 9); }
};

// Two fixed blocks that zlib would not write: 32 KiB of literals, then
// copies of 258 from 32768 back, and one from a distance of 1.
std::pair<std::string, std::string> far()
{
	std::string content = noise(32768, 2);
	bits b;
	b.put(2, 3);
	for (char c : content)
		b.literal(static_cast<unsigned char>(c));
	b.code(0, 7);
	b.put(3, 3);
	for (int i = 0; i < 2; i++) {
		b.code(0xc5, 8); // 258
		b.code(29, 5);
		b.put(32768 - 24577, 13);
		content += content.substr(content.size() - 32768, 258);
	}
	b.code(0xc5, 8);
	b.code(0, 5);
	content += std::string(258, content.back());
	b.code(0, 7);
	return {content, b.s};
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
		{"huffman only, synced", text,
		 deflate_parts(text, {{30000, 6, Z_HUFFMAN_ONLY, Z_SYNC_FLUSH}}), 0},
		{"each kind in turn", text, deflate_parts(text, mixed), 0},
		{"longest length and distance", far_content, far_stream, INFLATE_WINDOW},
		{"one long run", xs, deflate_parts(xs, {{100000, 6, Z_DEFAULT_STRATEGY, Z_BLOCK}}),
		 1},
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.what);
		const std::string &s = r.stream;
		bool ok;
		ASSERT_EQ(isal(s, r.content.size(), &ok), r.content);
		ASSERT_TRUE(ok);
		auto b = blocks(s, r.content.size());
		ASSERT_GE(b.size(), 3U);
		std::vector<uint16_t> buf(r.content.size() + 16);
		size_t reach = 0;
		for (size_t i = 0; i + 1 < b.size(); i++) {
			SCOPED_TRACE(i);
			auto [from, at] = b[i];
			std::string before = r.content.substr(0, at), out;
			inflate_piece p{};
			// To the next block, the one after, the final block wherever it
			// ends, and exactly where that ended, which zlib gives to the byte.
			std::vector<uint64_t> ends;
			for (size_t j = i + 1; j <= i + 2 && j + 1 < b.size(); j++)
				ends.push_back(b[j].first);
			ends.push_back(INFLATE_FINAL);
			ends.push_back(0);
			for (size_t j = 0; j < ends.size(); j++) {
				uint64_t to = ends[j] != 0 ? ends[j] : p.end;
				ASSERT_TRUE(piece(s, from, to, before, &out, &p, &buf));
				size_t till = j + 2 < ends.size() ? b[i + 1 + j].second
								  : r.content.size();
				ASSERT_EQ(out, r.content.substr(at, till - at));
				EXPECT_EQ(p.final, j + 2 >= ends.size());
				if (to != INFLATE_FINAL) {
					EXPECT_EQ(p.end, to);
				}
			}
			EXPECT_EQ((p.end + 7) / 8 * 8, b.back().first);
			reach = std::max(reach, p.reach);
			// A window shorter than the piece reaches declines.
			if (p.reach > 0) {
				std::string shorter = before.substr(before.size() - p.reach + 1);
				EXPECT_FALSE(
					piece(s, from, INFLATE_FINAL, shorter, &out, &p, &buf));
			}
			// Short of the block's end, past it, or short of room: declined.
			// (A stored block may start at any zero bit before its byte.)
			if (kind(s, b[i + 1].first) != 0) {
				EXPECT_FALSE(
					piece(s, from, b[i + 1].first - 1, before, &out, &p, &buf));
				EXPECT_FALSE(
					piece(s, from, b[i + 1].first + 1, before, &out, &p, &buf));
			}
			if (b[i + 1].second > at) {
				std::vector<uint16_t> small(b[i + 1].second - at - 1);
				EXPECT_FALSE(
					piece(s, from, b[i + 1].first, before, &out, &p, &small));
			}
		}
		EXPECT_GE(reach, r.reach);
		// Block by block, each window slid from the pieces before.
		std::string all, out;
		unsigned char window[INFLATE_WINDOW];
		size_t have = 0;
		for (size_t i = 0; i + 1 < b.size(); i++) {
			inflate_piece p{buf.data(), buf.size(), 0, 0, 0, 0, false};
			const auto *in = reinterpret_cast<const unsigned char *>(s.data());
			ASSERT_TRUE(inflate_decode(
				in, s.size(), b[i].first,
				i + 2 < b.size() ? b[i + 1].first : INFLATE_FINAL, &p));
			out.resize(p.len);
			auto *o = reinterpret_cast<unsigned char *>(out.data());
			ASSERT_TRUE(inflate_resolve(&p, window, have, o));
			inflate_slide(window, &have, o, p.len);
			all += out;
		}
		EXPECT_EQ(all, r.content);
		// The search finds the dynamic blocks that are not the last, and
		// each stored one with four more such or stored after it, and no
		// other bit.
		const auto *in = reinterpret_cast<const unsigned char *>(s.data());
		std::vector<uint64_t> found, starts;
		for (uint64_t at = inflate_find(in, s.size(), 0, INFLATE_NONE); at != INFLATE_NONE;
		     at = inflate_find(in, s.size(), at + 1, INFLATE_NONE))
			found.push_back(at);
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
		// Where it found one, the piece before ends.
		for (size_t i = 0, j = 0; i < found.size(); i++) {
			inflate_piece p{};
			while (b[j + 1].first <= found[i])
				j++;
			std::string out;
			EXPECT_EQ(j == 0 || (piece(s, 0, found[i], "", &out, &p, &buf) &&
					     out == r.content.substr(0, b[j].second)),
				  true);
		}
	}
}

// A flipped bit in a piece: declined, or ISA-L reads the same bytes there.
TEST(Inflate, DamageDeclinedOrAsIsal)
{
	std::string s = deflate_parts(text, mixed);
	auto b = blocks(s, text.size());
	std::vector<uint16_t> buf(text.size() + 16);
	int decoded = 0;
	for (uint64_t bit = 5; bit < s.size() * 8; bit += 997) {
		size_t i = 0;
		while (b[i + 1].first <= bit)
			i++;
		std::string bad = s, out;
		bad[bit / 8] = static_cast<char>(bad[bit / 8] ^ 1 << (bit % 8));
		inflate_piece p{};
		if (!piece(bad, b[i].first, b[i + 1].first, text.substr(0, b[i].second), &out, &p,
			   &buf))
			continue;
		decoded++;
		bool ok;
		std::string theirs = isal(bad, text.size() * 2, &ok);
		ASSERT_GE(theirs.size(), b[i].second + out.size()) << bit;
		ASSERT_EQ(theirs.substr(b[i].second, out.size()), out) << bit;
	}
	EXPECT_GT(decoded, 0);
}
