// The input and the output that every format shares, and the loop that
// drives a unit over them. The input is a descriptor or, for the tests and
// the fuzzer, memory.
#ifndef ZTEXT_ZCAT_IO_H
#define ZTEXT_ZCAT_IO_H

#include <cstddef>

#include "unit.h"

// Input from fd, waited for when it is non-blocking; `name` in messages.
void input_fd(int fd, const char *name);
// Input from p[0..n), `chunk` bytes at a time.
void input_memory(const unsigned char *p, size_t n, size_t chunk, const char *name);
// Where the output goes; standard output unless said otherwise.
void output_fd(int fd);

// Makes at least n bytes ready unless the input ends first; *p points to
// them, and the count ready is returned.
size_t peek(size_t n, const unsigned char **p);
// Skips skippable frames; GZ_OK, or GZ_ERROR when one is cut short.
int skip_frames();
bool skippable(const unsigned char *p, size_t n);
// Whether p[0..n) starts a stream of u.
bool starts(const unit &u, const unsigned char *p, size_t n);

// Decodes streams of u from where the input stands to its end. The status.
int decode(const unit &u);

// "zcat: NAME: what" on standard error; returns status.
int complain(const char *what, int status);
// The input ended early: how, and GZ_ERROR.
int cut_short();
// At the end of the input: GZ_OK, or cut_short() after a read error.
int input_end();

// The input, decoded by its first bytes; in zcat.cpp.
int zcat_input();

// Writes all of p[0..n) to fd; false on an error, with errno set.
bool write_all(int fd, const unsigned char *p, size_t n);

#endif
