// Libraries for formats other than gzip, loaded the first time their format
// turns up, so that a gzip file costs no more than it did.
#ifndef ZTEXT_ZCAT_LIB_H
#define ZTEXT_ZCAT_LIB_H

#include <cstddef>

struct symbol {
	const char *name;
	void **to; // where its address goes
};

// Opens the library by its soname and finds every symbol. nullptr, or the
// loader's message, which names the library.
const char *lib_load(const char *soname, const symbol *symbols, size_t n);
template <size_t N> const char *lib_load(const char *soname, const symbol (&table)[N])
{
	return lib_load(soname, table, N);
}

// &f as a symbol's destination.
template <class F> void **slot(F *&f) { return reinterpret_cast<void **>(&f); }

#endif
