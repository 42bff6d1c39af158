/* The process's list of known buffers, keyed by stamp. Every call runs with the module mutex held. */
#ifndef MAPPER_H
#define MAPPER_H

#include <stddef.h>

#include "hal_private.h"

#ifdef __cplusplus
extern "C" {
#endif

VEK_mapper_meminfo_t *MapperPeek(VEK_private_data_t *psPrivateData, VEK_UINT64 ui64Stamp);
VEK_BOOL MapperAddUnmapped(VEK_private_data_t *psPrivateData, VEK_native_handle_t *psNativeHandle);
VEK_BOOL MapperAddMapped(VEK_private_data_t *psPrivateData, VEK_native_handle_t *psNativeHandle,
                         ZOLSRV_CLIENT_MEM_INFO **apsMemInfo);
VEK_BOOL MapperAddMappedFB(VEK_private_data_t *psPrivateData, VEK_native_handle_t *psNativeHandle,
                           ZOLSRV_CLIENT_MEM_INFO *psMemInfo, void *hMemInfo);
void MapperRemove(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psMapperMemInfo);
VEK_BOOL MapperSanityCheck(VEK_private_data_t *psPrivateData);
/* To be called whenever what an entry of the list brings to the consistency check may change
   other than through the calls above: its first mem-info (a mapping made or released in place)
   or its registration. The check compares only what is new and trusts the rest. */
void MapperEntryChanged(VEK_mapper_meminfo_t *psMapperMemInfo);
size_t MapperDumpSyncObjects(VEK_private_data_t *psPrivateData, char *pszBuffer, size_t maxLen);
void MapperLogSyncObjects(VEK_private_data_t *psPrivateData);

#ifdef __cplusplus
}
#endif

#endif
