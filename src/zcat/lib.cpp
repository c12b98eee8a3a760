#include "lib.h"

#include <dlfcn.h>

const char *lib_load(const char *soname, const symbol *symbols, size_t n)
{
	// RTLD_NOW: a symbol that is missing is found missing here, not mid-stream.
	void *h = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
	if (h == nullptr)
		return dlerror();
	for (size_t i = 0; i < n; i++) {
		*symbols[i].to = dlsym(h, symbols[i].name);
		if (*symbols[i].to == nullptr)
			return dlerror();
	}
	return nullptr;
}
