// Memory for large result columns.
//
// A long table's results are tens of megabytes that the system must map and
// clear on every call.  Mapped in 4 KB pages, that costs more than the pass
// that fills them; mapped in 2 MB pages, a fraction.  NumPy asks for huge
// pages too, but on malloc'd blocks whose ends are not 2 MB aligned, so a
// block's edges (all of a small column) still fault page by page.
//
// ResultMemory installs, for as long as it lives, a NumPy allocation handler
// whose large blocks are whole, aligned 2 MB regions asking for huge pages.
// A freed region is kept for the next results (a few hundred megabytes at
// most, which the system may reclaim), so a table's results made again and
// again are not mapped and cleared again.  Arrays made meanwhile keep the
// handler and return their blocks through it (NumPy frees and resizes an
// array with the handler that made it); smaller blocks come from the heap as
// NumPy's own do.  Contents are NumPy's: malloc and realloc leave new bytes
// unset, calloc zeroes them.
#pragma once

#include <Python.h>

#include "ornivex/common/pyref.hpp"

namespace ornivex {

class ResultMemory {
public:
    ResultMemory() noexcept = default;
    ResultMemory(const ResultMemory&) = delete;
    ResultMemory& operator=(const ResultMemory&) = delete;
    ~ResultMemory();

    // Installs the handler in the current context; false with an exception
    // set if NumPy refuses.
    bool install();

private:
    Owned previous_;
};

}  // namespace ornivex
