/* The 2D library's description of services memory, as the graphics HAL and the vendor's other
   drivers make it for a blit: the plane's own CPU address, size and device address, and the
   services' records of it. */
#ifndef TESTS_SERVICES_DESCRIPTION_H
#define TESTS_SERVICES_DESCRIPTION_H

#include "zol2d.h"

static inline ZOL2DMEMINFO DescribeServicesMemory(ZOLSRV_CLIENT_MEM_INFO *ps) {
    ZOL2DMEMINFO s = {};
    s.pBase = ps->pvLinAddr;
    s.ui32MemSize = (VEK_UINT32)ps->uAllocSize;
    s.ui32DevAddr = ps->sDevVAddr.uiAddr;
    s.hPrivateData = ps;
    s.hPrivateMapData = ps->hKernelMemInfo;
    return s;
}

#endif
