// Test-only hook into the key tree's allocator. Nothing in the program calls
// it; tests use it to reach the out-of-memory paths, which no real run can
// be made to take on demand.
#pragma once

// Makes the count-th following allocation of the key tree (records and list
// nodes) fail, once; 1 is the very next one. 0 or less disarms the hook.
void data_base_fail_allocation(int count);
