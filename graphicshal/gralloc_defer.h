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

/* The release queued for the entry, or NULL. An entry is never freed or refilled while a release
   of it is queued: the queue still refers to it. */
VEK_defer_flush_op_pfn PendingDeferFlushOp(VEK_mapper_meminfo_t *psMapperMemInfo);

/* Makes the release queued for the entry run pfnFlushOp instead, or takes it back when
   pfnFlushOp is NULL. */
void RequeueDeferFlushOp(VEK_mapper_meminfo_t *psMapperMemInfo, VEK_defer_flush_op_pfn pfnFlushOp);

/* At unload, before the module mutex goes: ends the worker, leaving queued releases as they are. */
void DeferFlushOpShutdown(VEK_private_data_t *psPrivateData);

#ifdef __cplusplus
}
#endif

#endif
