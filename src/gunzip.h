// The gzip member loop of ztext's zcat: headers, deflate data, trailers and
// what may follow a member, read as gzip reads them. Knows no operands.
#ifndef ZTEXT_GUNZIP_H
#define ZTEXT_GUNZIP_H

#include <cstddef>

// gzip's exit statuses.
enum { GZ_OK = 0, GZ_ERROR = 1, GZ_WARNING = 2 };

// Writes the content of the gzip members read from fd `in` to fd `out`, the
// first n bytes of the input being head[0..n), read already. `name` is the
// input's name in messages. Returns GZ_OK, GZ_ERROR or GZ_WARNING.
int gunzip(const unsigned char *head, size_t n, int in, int out, const char *name);

// Writes all of p[0..n) to fd; false on an error, with errno set.
bool write_all(int fd, const unsigned char *p, size_t n);

#endif
