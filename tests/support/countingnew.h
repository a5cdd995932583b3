#pragma once

#include <atomic>

// Counts every operator new of the program that links countingnew.cpp (which replaces the global allocation
// functions, so link it only into programs that count allocations).
namespace CountingNew {

// Allocations of the whole process since it started.
extern std::atomic<long> processAllocations;

}  // namespace CountingNew
