// What of the machine this process may use: the CPUs its affinity mask and
// its cgroup's quota allow, and the memory its cgroups or the machine give.
// Read once, before the confinement forbids the files.
#ifndef ZTEXT_ZCAT_LIMITS_H
#define ZTEXT_ZCAT_LIMITS_H

#include <cstdint>

// The CPU quota on the path of the process's cgroup, rounded up, the lowest
// on that path; 0 where there is none. `root`: where the cgroup file systems
// are mounted ("/sys/fs/cgroup"); `self`: a file in /proc/self/cgroup's form.
unsigned cgroup_cpus(const char *root, const char *self);
// The lowest memory limit on that path, in bytes; 0 where there is none.
uint64_t cgroup_memory(const char *root, const char *self);

// Reads both for this process, with its affinity mask and the machine's
// memory; without `cgroups`, those two alone.
void limits_read(bool cgroups = true);
// The CPUs it may use, at least 1, and the bytes of memory; read on first
// use where limits_read was not called, as in the tests.
unsigned limits_cpus();
uint64_t limits_memory();
// Whether the address space is limited (`ulimit -v`).
bool limits_address();

#endif
