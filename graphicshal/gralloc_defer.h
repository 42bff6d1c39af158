/* Releases that must wait until the GPU has finished with a buffer. */
#ifndef GRALLOC_DEFER_H
#define GRALLOC_DEFER_H

#include "hal_private.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Runs with the module mutex held and must not take it. */
typedef int (*VEK_defer_flush_op_pfn)(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psMapperMemInfo,
                                      int *aiFd);

int CheckDeferFlushOp(VEK_private_data_t *psPrivateData, VEK_defer_flush_op_pfn pfnFlushOp,
                      VEK_mapper_meminfo_t *psMapperMemInfo, int *aiFd);

#ifdef __cplusplus
}
#endif

#endif
