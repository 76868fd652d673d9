// Watches the program's heap: counts what operator new hands out while counting is on, and makes a
// chosen nothrow allocation fail. The replacement operators live in allocation_probe.cpp and serve the
// whole test program; outside a probe they behave like the standard ones.
#pragma once

// Starts counting allocations made through any operator new, on any thread.
void start_counting_allocations();
// Stops counting and returns how many allocations were made since start_counting_allocations.
long stop_counting_allocations();

// Lets `succeeding` more nothrow allocations through, then makes the next one return null (once).
void fail_nothrow_allocation_after(int succeeding);
// Cancels a failure that has not happened yet.
void cancel_allocation_failure();
