// The records that adapter mode leaves on each Java thread's list for the
// library's sender thread. The lists are bounded, per thread and for the
// whole process, so that records waiting for a master link that is down (or
// for a sender that never started) cannot grow without end inside the host.
#pragma once

#include <cstddef>

#include "base/tav_list.h"

struct mthr;

namespace tav {

// A thread's list keeps at most this many records (a full batch and more).
inline constexpr int kGlistThreadMax = 4096;
// All lists of the process together keep at most this many.
inline constexpr int kGlistProcessMax = 32768;

// Appends a copy of `size` bytes with `kind` to the thread's list. At a
// bound the thread's oldest record makes room; a thread with nothing to give
// up drops the new one. 0 when appended, -1 when dropped.
int glist_append(mthr* m, char kind, const void* data, size_t size);

// Takes the oldest record off a list; null when it is empty. The caller
// frees it with tav_list_free or hands it back with glist_return.
tavlist* glist_take(tavlist_t* list);

// Puts a taken record back in front of its list, as the oldest.
void glist_return(tavlist_t* list, tavlist* node);

// Records waiting on all lists of the process.
int glist_waiting();

}  // namespace tav
