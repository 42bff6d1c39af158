/* A buffer shared with a real second process, as Android shares it. */
#include <sys/socket.h>
#include <unistd.h>

#include "handle_transport.h"
#include "module_fixture.h"
#include "process_util.h"

namespace {

TEST_F(ModuleTest, AnotherProcessReadsAndWritesTheBuffer) {
    alloc_device_t *psAlloc = OpenAlloc();
    ASSERT_NE(nullptr, psAlloc);
    const int iUsage = GRALLOC_USAGE_SW_READ_OFTEN | GRALLOC_USAGE_SW_WRITE_OFTEN | GRALLOC_USAGE_HW_TEXTURE;
    buffer_handle_t h = nullptr;
    int iStride = 0;
    ASSERT_EQ(0, psAlloc->alloc(psAlloc, 48, 20, HAL_PIXEL_FORMAT_BGRA_8888, iUsage, &h, &iStride));

    const gralloc_module_t *psGralloc = &psHMI->base.base;
    void *apv[3];
    ASSERT_EQ(0, psGralloc->lock(psGralloc, h, GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0, 48, 20, apv));
    unsigned *pui = static_cast<unsigned *>(apv[0]);
    for (int y = 0; y < 20; y++)
        for (int x = 0; x < 48; x++) pui[y * iStride + x] = (unsigned)(y * 65536 + x);
    ASSERT_EQ(0, psGralloc->unlock(psGralloc, h));

    /* The GPU is still reading when the handle leaves: the other process's write lock waits
       until this process's simulated GPU is done, seen through the shared counters. */
    ZOLSRV_CLIENT_MEM_INFO *psMem = MemInfo(h);
    zolsim_gpu_add_ops(psMem, 1, 0, 0);

    int aiSockets[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET, 0, aiSockets));
    ASSERT_EQ(0, SendBufferHandle(aiSockets[0], h, {48, 20, iStride, HAL_PIXEL_FORMAT_BGRA_8888, iUsage}));
    zolsim_gpu_complete_after(psMem, 100);
    std::string sOutput;
    int iStatus =
        RunProgram(TestBinaryDir() + "/client_process", "client_process", {std::to_string(aiSockets[1])}, &sOutput);
    close(aiSockets[0]);
    close(aiSockets[1]);
    EXPECT_EQ(0, iStatus) << sOutput;
    EXPECT_EQ("mismatches=0 gpu_done=1 stalls=0 mappings=0\n", sOutput);

    /* The allocator sees the other process's writes. */
    ASSERT_EQ(0, psGralloc->lock(psGralloc, h, GRALLOC_USAGE_SW_READ_OFTEN, 0, 0, 48, 20, apv));
    pui = static_cast<unsigned *>(apv[0]);
    int iMismatches = 0;
    for (int y = 0; y < 20; y++)
        for (int x = 0; x < 48; x++) iMismatches += pui[y * iStride + x] != ~(unsigned)(y * 65536 + x);
    EXPECT_EQ(0, iMismatches);
    ASSERT_EQ(0, psGralloc->unlock(psGralloc, h));
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    EXPECT_EQ(0u, zolsim_live_allocations());
    EXPECT_EQ(0u, zolsim_live_exported_fds());
    gralloc_close(psAlloc);
}

}  // namespace
