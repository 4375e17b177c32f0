#pragma once
// Another thread's scheduling priority, by the id the thread read for
// itself; larger is more urgent. Internal to the library.
namespace Serlib {

long currentThreadId();
bool readPriority(long tid, int& priority);
bool writePriority(long tid, int priority);

}  // namespace Serlib
