#pragma once
// What a process holds right now, from /proc: the leak checks compare these
// before and after. Raises std::runtime_error when /proc cannot be read, so a
// count never silently reads as zero.
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <map>

// Threads of this process.
size_t threadCount();
// The thread count once it has come down to `expected`, waiting up to a
// second; the last count read if it never does. A join returns when the thread
// has finished, a moment before its task leaves /proc (under qemu the host
// thread outlives the guest's join by longer still).
size_t threadCountSettledAt(size_t expected);
// The state of thread tid of this process as /proc shows it: 'R' running
// or ready to run, 'S' asleep until something wakes it, ...; 0 once the
// thread is gone. A thread woken (a byte written to the pipe it waits on) is
// 'R' by the time the waking call returns, before it has run.
char threadState(pid_t tid);
// Threads of this process other than the caller that are running or ready
// to run right now. A thread that spins is always among them, however
// loaded the machine; a thread that waits for something is not.
size_t runnableOtherThreads();
// How many times each thread of this process other than the caller has
// gone to sleep so far (its voluntary context switches), by thread id. A
// thread that polls sleeps and wakes again and again, however loaded the
// machine; one that waits for an event sleeps once.
std::map<pid_t, long> sleepCounts();
// The sleeps since before was taken, of the threads there are now.
long sleepsSince(const std::map<pid_t, long>& before);
// Descriptors open in this process (not counting the one used to count them).
size_t openDescriptorCount();
// The server's end of a connection this process accepted on port: its
// descriptor (bound to the port, not listening itself), or -1.
int servedSocketOnPort(int port);
// Resident and peak resident memory of a process (this one by default), in KiB.
long residentKiB(pid_t pid = ::getpid());
long peakResidentKiB(pid_t pid = ::getpid());
