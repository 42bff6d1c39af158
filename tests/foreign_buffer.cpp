/* In the suites, a foreign buffer that cannot be made fails the test that wanted it. */
#include "foreign_buffer.h"

#include <gtest/gtest.h>

void ForeignAllocatorFailed(const char *pszCall, int iErr) {
    ADD_FAILURE() << "the foreign allocator's " << pszCall << " answered " << iErr << ", expected ZOLSRV_OK";
}
