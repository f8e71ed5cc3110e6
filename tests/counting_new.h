// Counts global operator new calls on the current thread while `counting` is set. Linking
// counting_new.cpp replaces every form of new and delete in the executable.
#pragma once

namespace allocation_count {

extern thread_local bool counting;
extern thread_local long allocations;

}  // namespace allocation_count
