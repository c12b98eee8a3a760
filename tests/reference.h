// The rule restated without divisions, as a reference apart from the census:
// x / d < k  <=>  x < d * k, for whole numbers and d > 0.
#ifndef ZTEXT_REFERENCE_H
#define ZTEXT_REFERENCE_H

#include <cstdint>

inline bool reference_text(int64_t n, int64_t nul, int64_t high, int64_t sep)
{
	bool too_many_nul = n < 4 * (nul - 2);
	bool too_many_high = n < 2 * (high - 2);
	bool too_few_sep = 200 * (sep + 1) <= n;
	return !too_many_nul && !too_many_high && !too_few_sep;
}

#endif
