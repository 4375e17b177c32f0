#pragma once
// What a process holds right now, from /proc: the leak checks compare these
// before and after. Raises std::runtime_error when /proc cannot be read, so a
// count never silently reads as zero.
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>

// Threads of this process.
size_t threadCount();
// The thread count once it has come down to `expected`, waiting up to a
// second; the last count read if it never does. A join returns when the thread
// has finished, a moment before its task leaves /proc (under qemu the host
// thread outlives the guest's join by longer still).
size_t threadCountSettledAt(size_t expected);
// Descriptors open in this process (not counting the one used to count them).
size_t openDescriptorCount();
// Resident and peak resident memory of a process (this one by default), in KiB.
long residentKiB(pid_t pid = ::getpid());
long peakResidentKiB(pid_t pid = ::getpid());
