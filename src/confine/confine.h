// Confines the process for good to the calls its filter allows: a call
// outside it ends the process with SIGSYS.
#ifndef ZTEXT_CONFINE_H
#define ZTEXT_CONFINE_H

#include <cstddef>

// False, with errno set, where the kernel cannot.
bool confine(const unsigned char *filter, size_t n);

#endif
