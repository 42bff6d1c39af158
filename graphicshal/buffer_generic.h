/* The one-plane allocation and release shared by the generic and the NV12 formats. */
#ifndef BUFFER_GENERIC_H
#define BUFFER_GENERIC_H

#include "hal_private.h"

int GenericAlloc(ZOLSRV_DEV_DATA *psDevData, VEK_HANDLE hGeneralHeap, int iAllocBytes, VEK_UINT32 ui32Flags,
                 VEK_VOID *pvPrivData, VEK_UINT32 ui32PrivDataLength, ZOLSRV_CLIENT_MEM_INFO **ppsMemInfo, int *piFd);
/* True when a plane of this many bytes, counted in 64 bits, can be asked of the services: the
   one-plane allocation takes its size as an int. */
VEK_BOOL GenericAllocSizeFits(VEK_UINT64 ui64Bytes);
int GenericFree(ZOLSRV_DEV_DATA *psDevData, ZOLSRV_CLIENT_MEM_INFO **apsMemInfo, int *aiFd);

#endif
