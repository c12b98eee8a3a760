// The zcat's own inflate against ISA-L's on one gzip member, on the core it
// is started on, by its processor time: MB/s of output for ISA-L's inflate, for the own one from
// the first block to the last, and for resolving its marks; then the search
// for block starts over the whole member (MB/s of input), and the pieces
// between the starts it found decoded one by one, each to exactly where
// the next starts, as threads would.
//   inflate_bench FILE.gz [ROUNDS]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include "zcat/inflate.h"

// The thread's processor time: the machine may be shared.
static double now()
{
	timespec t{};
	(void)clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
	return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// Where the deflate data of the member at the start of f begin, or 0.
static size_t body(const std::vector<unsigned char> &f)
{
	if (f.size() < 18 || f[0] != 0x1f || f[1] != 0x8b || f[2] != 8)
		return 0;
	size_t at = 10;
	int flags = f[3];
	if ((flags & 4) != 0)
		at += 2 + (f[10] | f[11] << 8);
	for (int bit : {8, 16})
		if ((flags & bit) != 0) {
			while (at < f.size() && f[at] != 0)
				at++;
			at += at < f.size() ? 1 : 0; // past the name's or comment's end
		}
	return (flags & 2) != 0 ? at + 2 : at;
}

int main(int argc, char **argv)
{
	if (argc < 2) {
		(void)fprintf(stderr, "usage: inflate_bench FILE.gz [ROUNDS]\n");
		return 2;
	}
	int rounds = argc > 2 ? (int)strtol(argv[2], nullptr, 10) : 3;
	FILE *fp = fopen(argv[1], "rb");
	if (fp == nullptr) {
		perror(argv[1]);
		return 2;
	}
	std::vector<unsigned char> f;
	unsigned char chunk[1 << 16];
	for (size_t k; (k = fread(chunk, 1, sizeof chunk, fp)) > 0;)
		f.insert(f.end(), chunk, chunk + k);
	(void)fclose(fp);
	size_t at = body(f);
	if (at == 0) {
		(void)fprintf(stderr, "%s: not a gzip member\n", argv[1]);
		return 2;
	}
	size_t size = f[f.size() - 4] | f[f.size() - 3] << 8 | f[f.size() - 2] << 16 |
		      (size_t)f[f.size() - 1] << 24;
	const unsigned char *in = f.data() + at;
	size_t n = f.size() - at - 8;
	std::vector<unsigned char> want(size), got(size);
	std::vector<uint16_t> marked(size);

	double isal = 1e9, own = 1e9, resolve = 1e9;
	for (int r = 0; r < rounds; r++) {
		double t = now();
		inflate_state st;
		isal_inflate_init(&st);
		st.crc_flag = ISAL_DEFLATE;
		st.next_in = const_cast<unsigned char *>(in);
		st.avail_in = (uint32_t)n;
		st.next_out = want.data();
		st.avail_out = (uint32_t)size;
		if (isal_inflate(&st) != ISAL_DECOMP_OK || st.total_out != size) {
			(void)fprintf(stderr, "ISA-L failed\n");
			return 1;
		}
		isal = std::min(isal, now() - t);
		t = now();
		inflate_piece p{marked.data(), size, 0, 0, 0, 0, false};
		if (!inflate_decode(in, n, 0, INFLATE_FINAL, &p) || p.len != size) {
			(void)fprintf(stderr, "the own inflate declined\n");
			return 1;
		}
		own = std::min(own, now() - t);
		t = now();
		bool ok = inflate_resolve(&p, nullptr, 0, got.data());
		resolve = std::min(resolve, now() - t);
		if (!ok)
			return 1;
	}
	if (got != want) {
		(void)fprintf(stderr, "the own inflate's bytes differ\n");
		return 1;
	}
	double mb = (double)size / 1e6;
	printf("%s: %.1f MB in %zu of deflate data, best of %d\n", argv[1], mb, n, rounds);
	printf("ISA-L inflate        %7.0f MB/s of output\n", mb / isal);
	printf("own inflate          %7.0f MB/s of output (x %.2f ISA-L)\n", mb / own, isal / own);
	printf("resolve              %7.0f MB/s\n", mb / resolve);

	double t = now();
	std::vector<uint64_t> found;
	for (uint64_t b = inflate_find(in, n, 0, INFLATE_NONE); b != INFLATE_NONE;
	     b = inflate_find(in, n, b + 1, INFLATE_NONE))
		found.push_back(b);
	double search = now() - t;
	printf("search               %7.0f MB/s of input, %zu starts found\n",
	       (double)n / 1e6 / search, found.size());

	// Each piece between two starts found, resolved with the one before.
	// A stored block at bit 0 is found at its last start, bit 5.
	if (found.empty() || found[0] > 5)
		found.insert(found.begin(), 0);
	found.push_back(INFLATE_FINAL);
	size_t done = 0, fine = 0;
	double decode = 0;
	for (size_t i = 0; i + 1 < found.size(); i++) {
		inflate_piece p{marked.data() + done, size - done, 0, 0, 0, 0, false};
		t = now();
		bool ok = inflate_decode(in, n, found[i], found[i + 1], &p);
		decode += now() - t;
		if (!ok || !inflate_resolve(&p, got.data(), done, got.data() + done))
			break;
		done += p.len;
		fine++;
	}
	bool same = done == size && memcmp(got.data(), want.data(), size) == 0;
	printf("pieces               %zu of %zu decoded to the next start, %s; %.0f MB/s of "
	       "output\n",
	       fine, found.size() - 1, same ? "the same bytes" : "NOT THE SAME BYTES",
	       (double)done / 1e6 / decode);
	return same ? 0 : 1;
}
