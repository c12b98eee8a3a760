// The census under any bytes, split at any points between the block path and
// census_add, against a plain reference written apart from it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "census.h"
#include "reference.h"

namespace {

struct counts {
	int64_t n, nul, high, sep;
};

counts reference_counts(const std::vector<uint8_t> &bytes)
{
	counts c = {0, 0, 0, 0};
	for (uint8_t b : bytes) {
		c.n++;
		c.nul += b == 0;
		c.high += b >= 128;
		c.sep += b == 32 || b == 10;
	}
	return c;
}

verdict reference_verdict(const counts &c)
{
	return reference_text(c.n, c.nul, c.high, c.sep) ? TEXTFILE : NONTEXT;
}

void check(bool ok)
{
	if (!ok)
		__builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FuzzedDataProvider in(data, size);

	// The rule on counters of any size, far past 32 bits.
	const int64_t big = int64_t{1} << 52;
	counts raw = {in.ConsumeIntegralInRange<int64_t>(0, big),
		      in.ConsumeIntegralInRange<int64_t>(0, big),
		      in.ConsumeIntegralInRange<int64_t>(0, big),
		      in.ConsumeIntegralInRange<int64_t>(0, big)};
	byte_census c = {raw.n, raw.nul, raw.high, raw.sep};
	check(census_verdict(&c) == reference_verdict(raw));

	uint64_t splits = in.ConsumeIntegral<uint64_t>();
	std::vector<uint8_t> bytes = in.ConsumeRemainingBytes<uint8_t>();

	c = {};
	size_t at = 0;
	while (at < bytes.size()) {
		splits = splits * 6364136223846793005u + 1442695040888963407u;
		// Mostly short pieces, sometimes all the rest: lanes flush only
		// after 255 rounds of 64 bytes.
		size_t rest = bytes.size() - at;
		size_t len = (splits >> 61) == 0 ? rest : (splits >> 33) % 700;
		len = std::min(len, rest);
		if ((splits >> 58) % 4 == 0)
			for (size_t i = at; i < at + len; i++)
				census_add(&c, bytes[i]);
		else
			census_add_block(&c, bytes.data() + at, len);
		at += len;
	}
	counts want = reference_counts(bytes);
	check(c.total_bytes == want.n && c.nul_bytes == want.nul && c.high_bytes == want.high &&
	      c.separator_bytes == want.sep);
	check(census_verdict(&c) == reference_verdict(want));
	return 0;
}
