/* Long runs of alloc/free and register/unregister cycles: the process's open descriptors, the
   simulated device's live allocations and mappings, and the mapper list end as they began. */

#include <memory>

#include "foreign_buffer.h"
#include "module_fixture.h"
#include "process_util.h"

namespace {

constexpr int kCycles = 2048;

unsigned MapperEntries(VEK_private_data_t *psPrivateData) {
    unsigned n = 0;
    for (VEK_mapper_meminfo_t *ps = psPrivateData->psMapList; ps != nullptr; ps = ps->psNext) n++;
    return n;
}

class LeakTest : public ModuleTest {};

TEST_F(LeakTest, AllocFreeCyclesLeaveDescriptorsAllocationsAndEntriesUnchanged) {
    alloc_device_t *psAlloc = OpenAlloc();
    ASSERT_NE(nullptr, psAlloc);
    const int aiFormats[] = {HAL_PIXEL_FORMAT_BGRA_8888, HAL_PIXEL_FORMAT_RGB_565, HAL_PIXEL_FORMAT_YV12};
    const unsigned uiFds = OpenDescriptorCount(), uiAllocations = zolsim_live_allocations();
    const unsigned uiEntries = MapperEntries(Private());

    for (int i = 0; i < kCycles; i++) {
        buffer_handle_t h = nullptr;
        int iStride = 0;
        int usage = GRALLOC_USAGE_SW_READ_OFTEN | (i % 2 ? GRALLOC_USAGE_HW_TEXTURE : GRALLOC_USAGE_SW_WRITE_OFTEN);
        ASSERT_EQ(0, psAlloc->alloc(psAlloc, 16 + i % 48, 8 + i % 24, aiFormats[i % 3], usage, &h, &iStride))
            << "cycle " << i;
        ASSERT_EQ(0, psAlloc->free(psAlloc, h)) << "cycle " << i;
    }
    EXPECT_EQ(uiFds, OpenDescriptorCount()) << "every descriptor an allocation exported must be closed by its free";
    EXPECT_EQ(uiAllocations, zolsim_live_allocations()) << "every allocation must be freed";
    EXPECT_EQ(0u, zolsim_live_exported_fds());
    EXPECT_EQ(uiEntries, MapperEntries(Private())) << "every mapper entry must be removed";
    EXPECT_EQ(0, psAlloc->common.close(&psAlloc->common));
}

TEST_F(LeakTest, RegisterUnregisterCyclesLeaveDescriptorsMappingsAndEntriesUnchanged) {
    const gralloc_module_t *psGralloc = &psHMI->base.base;
    std::unique_ptr<ForeignAllocator> psForeign(new ForeignAllocator());
    const buffer_handle_t ahBuffers[] = {
        psForeign->Make(GRALLOC_USAGE_SW_READ_OFTEN | GRALLOC_USAGE_HW_TEXTURE),
        psForeign->Make(GRALLOC_USAGE_HW_COMPOSER),
        psForeign->Make(GRALLOC_USAGE_SW_WRITE_OFTEN, 32, 16, 2),
    };
    const unsigned uiFds = OpenDescriptorCount(), uiMappings = zolsim_live_mappings();
    const unsigned uiEntries = MapperEntries(Private());

    for (int i = 0; i < kCycles; i++) {
        buffer_handle_t h = ahBuffers[i % 3];
        ASSERT_EQ(0, psGralloc->registerBuffer(psGralloc, h)) << "cycle " << i;
        if (i % 4 == 0) {
            /* A lock maps a buffer without mapping usage for its length. */
            void *apv[3] = {};
            ASSERT_EQ(0, psGralloc->lock(psGralloc, h, GRALLOC_USAGE_SW_READ_OFTEN, 0, 0, 1, 1, apv)) << "cycle " << i;
            ASSERT_EQ(0, psGralloc->unlock(psGralloc, h)) << "cycle " << i;
        }
        ASSERT_EQ(0, psGralloc->unregisterBuffer(psGralloc, h)) << "cycle " << i;
    }
    EXPECT_EQ(uiFds, OpenDescriptorCount()) << "registration must neither keep nor close the handle's descriptors";
    EXPECT_EQ(uiMappings, zolsim_live_mappings()) << "every mapping a registration or lock made must be unmapped";
    EXPECT_EQ(uiEntries, MapperEntries(Private())) << "every mapper entry must be removed";
}

}  // namespace
