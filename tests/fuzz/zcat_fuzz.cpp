// Any bytes through the zcat's dispatch and every decoder, from memory, fed
// in pieces of a size taken from the input's length, so that each unit must
// also pick up where it stopped; on one thread and on three, a unit a
// thread, which must give the same status and write the same bytes, also
// before a fault, where the threads cut the input elsewhere. A quarter of
// the inputs is also fed whole, which is not worth a thread.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include "zcat/io.h"

static int decoded(const uint8_t *data, size_t size, size_t chunk, int out, unsigned threads)
{
	(void)ftruncate(out, 0);
	(void)lseek(out, 0, SEEK_SET);
	input_memory(data, size, chunk, "fuzz");
	output_fd(out);
	parallel_threads(threads, 1);
	return zcat_input();
}

// Whether a and b hold the same bytes.
static bool same(int a, int b)
{
	static unsigned char x[1 << 16], y[1 << 16];
	off_t n = lseek(a, 0, SEEK_END), m = lseek(b, 0, SEEK_END);
	if (n != m)
		return false;
	for (off_t at = 0; at < n; at += sizeof x) {
		size_t k = n - at < (off_t)sizeof x ? (size_t)(n - at) : sizeof x;
		if (pread(a, x, k, at) != (ssize_t)k || pread(b, y, k, at) != (ssize_t)k ||
		    memcmp(x, y, k) != 0)
			return false;
	}
	return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const int one = memfd_create("one", MFD_CLOEXEC),
			 three = memfd_create("three", MFD_CLOEXEC);
	if (size % 4 == 0)
		(void)decoded(data, size, size + 1, one, 1);
	int s = decoded(data, size, 1 + size % 61, one, 1);
	if (decoded(data, size, 1 + size % 61, three, 3) != s || !same(one, three))
		abort();
	return 0;
}
