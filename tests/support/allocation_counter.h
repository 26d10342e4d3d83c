// Counts heap allocations made on the threads that ask for it, for tests of code that promises
// to allocate nothing. Linking this replaces the program's operator new.
#pragma once

void CountAllocationsOnThisThread(bool on);
void ResetAllocationCount();
long AllocationCount();
