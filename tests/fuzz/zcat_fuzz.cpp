// Any bytes through the zcat's dispatch and every decoder, from memory, fed
// in pieces of a size taken from the input's length, so that each unit must
// also pick up where it stopped.
#include <cstddef>
#include <cstdint>
#include <fcntl.h>

#include "io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
	size_t chunk = size % 4 == 0 ? size + 1 : 1 + size % 61;
	input_memory(data, size, chunk, "fuzz");
	output_fd(null);
	(void)zcat_input();
	return 0;
}
