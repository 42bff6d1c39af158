/* Releases that must wait until the GPU has finished with a buffer, and what a queued release
   means to each entry point. */
#ifndef GRALLOC_DEFER_H
#define GRALLOC_DEFER_H

#include "hal_private.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Runs the release now when the GPU is done with the buffer (after at most one wait) and no call
   uses it, else queues it: 0 then, or pthread_create's error number (positive) when no worker
   could start, the release queued all the same. An entry has at most one queued release; a new
   one takes the old one's place. */
int CheckDeferFlushOp(VEK_private_data_t *psPrivateData, VEK_defer_flush_op_pfn pfnFlushOp,
                      VEK_mapper_meminfo_t *psMapperMemInfo, int *aiFd);

/* The same, for a release that no caller can ask for again (the clean-up of a failed
   registration, the mapping of a buffer no use holds any more): when it runs at once and fails,
   it is queued all the same, and the worker tries it again. Returns what CheckDeferFlushOp did. */
int CheckDeferFlushOpOrRetry(VEK_private_data_t *psPrivateData, VEK_defer_flush_op_pfn pfnFlushOp,
                             VEK_mapper_meminfo_t *psMapperMemInfo, int *aiFd);

/* A release of something no entry names any more (a mapping made only to compare, a flip chain or
   2D memory of a closed display, caller memory a stalled blit may still write): 0 once it is done. */
typedef int (*VEK_loose_release_pfn)(VEK_private_data_t *psPrivateData, void *pvObject);

/* For a loose release that failed: the worker tries it again at every scan, and the unload once
   more. 0, -ENOMEM when it cannot be queued, or pthread_create's error number when it is queued
   but no worker could start (see KeepReleasesGoing). */
int QueueLooseRelease(VEK_private_data_t *psPrivateData, VEK_loose_release_pfn pfnLooseRelease, void *pvObject);

/* Runs the loose release now and, should it be refused, queues it (QueueLooseRelease's result). */
int ReleaseNowOrLater(VEK_private_data_t *psPrivateData, VEK_loose_release_pfn pfnLooseRelease, void *pvObject);

/* With the module mutex held, before it is let go: starts a worker when releases are queued and
   none runs (one could not start). Two loads when nothing is to be done. */
void KeepReleasesGoing(VEK_private_data_t *psPrivateData);

/* What an entry point asks of a buffer's entry. */
typedef enum {
    VEK_ENTRY_USE,      /* unlock, unmap, physical addresses, blits, post: within the call */
    VEK_ENTRY_HOLD,     /* a first lock, map, Post2: the mapping is used after the call */
    VEK_ENTRY_REGISTER, /* registration of a stamp already on the list */
    VEK_ENTRY_RELEASE,  /* unregistration, free, the last unlock's unmapping, framebuffer close */
    VEK_ENTRY_WORKER,   /* the worker, before it runs the queued release */
} VEK_entry_access_t;

typedef enum {
    VEK_ENTRY_GO,   /* go on */
    VEK_ENTRY_GONE, /* not the caller's buffer any more: unregistered or freed */
    VEK_ENTRY_BUSY, /* locked (or, but to a release, held as below) */
    VEK_ENTRY_HELD, /* to a release: not locked, but held by a call waiting without the mutex (a
                       first lock waiting for the GPU, a Post2 swapping the buffer) */
} VEK_entry_verdict_t;

/* The one place that decides what a buffer's queued release means to an entry point: a queued
   unmapping is taken back for a use that holds the mapping (the caller then completes it where it
   hands addresses out) and for a release, which queues its own in its place; a queued removal is
   taken back by a new registration; a buffer unregistered or freed is refused to everyone else,
   and a queued release never runs while the buffer is in use. A release of a buffer that is only
   held is answered, and waits in the queue (VEK_ENTRY_HELD). */
VEK_entry_verdict_t SettlePendingRelease(VEK_mapper_meminfo_t *psMapperMemInfo, VEK_entry_access_t eAccess);

/* The entry of a buffer the caller may use, through SettlePendingRelease; NULL if there is none. */
VEK_mapper_meminfo_t *LookupUsableEntry(VEK_private_data_t *psPrivateData, VEK_UINT64 ui64Stamp,
                                        VEK_entry_access_t eAccess);

/* True when every plane the descriptors name is mapped (the slots end where the descriptors do). */
VEK_BOOL MappingComplete(const VEK_mapper_meminfo_t *psMapperMemInfo, const int *aiFd);

/* At unload, before the module mutex goes: runs the queued releases the GPU is done with and ends
   the worker, leaving the others as they are. */
void DeferFlushOpShutdown(VEK_private_data_t *psPrivateData);

#ifdef __cplusplus
}
#endif

#endif
