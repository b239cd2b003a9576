// Page-granular host memory for objects the game may free while others still point at them:
// freeing decommits the pages (any later access faults), and the address can be handed out
// again. Objects allocated one after another share one region, as on the host's heap.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv {

uint8_t* CommitHostPages(size_t bytes);           // zeroed, read-write; aborts when exhausted
void DecommitHostPages(uint8_t* pages, size_t bytes);
void RecommitHostPages(uint8_t* pages, size_t bytes);  // zeroed again, read-write
void ProtectHostPages(uint8_t* pages, size_t bytes, unsigned long protection);
size_t HostPageBytes(size_t bytes);  // rounded up to whole pages

}  // namespace qv
