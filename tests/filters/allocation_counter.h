// Counts calls of the global operator new in a program that links
// allocation_counter.cc, which replaces it (and the matching deletes).
#pragma once

namespace vorel_device {
namespace filter_test {

// Number of operator new calls since the program started.
long allocationCount();
// Number of operator new calls made by the calling thread.
long threadAllocationCount();

}  // namespace filter_test
}  // namespace vorel_device
