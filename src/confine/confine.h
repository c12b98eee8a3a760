// Confines the process for good to the calls its filter allows: a call
// outside it ends the process with SIGSYS.
#ifndef ZTEXT_CONFINE_H
#define ZTEXT_CONFINE_H

#include <cstddef>

// False, with errno set, where the kernel cannot.
bool confine(const unsigned char *filter, size_t n);

// Confines for good, with Landlock, what the process may do with files to
// reading those beneath the paths allowed between reads_begin and
// reads_end: no other file read, no folder listed, nothing written, made,
// renamed or removed. Each is false, with errno set, where the kernel
// cannot; the process then stays as it was.
bool reads_begin();
// PATH's files, or PATH alone, if FOLDER is false and PATH is no folder.
bool reads_allow(const char *path, bool folder);
// False, with EMFILE or ENFILE, where a path was not allowed for want of a
// descriptor.
bool reads_end();

#endif
