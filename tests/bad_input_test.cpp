/* Bad input at every entry point and slot: each answers its error and changes nothing, neither
   in the simulated device (live objects), nor in the process (open descriptors), nor in the
   module (mapper list, lock counts, display-buffer slots).

   Forged handles are tried against every handle-taking entry point of HandleEntryPoints; new
   entry points (Blit, Blit2, post) join as rows there. */
#include <fcntl.h>
#include <limits.h>

#include "bad_input_fixture.h"

namespace {

TEST_F(BadInputTest, ForgedHandlesAreRefusedByEveryEntryPointAndChangeNothing) {
    /* The other end of the Blit2 rows. */
    buffer_handle_t hTarget = Alloc();
    const std::vector<HandleEntryPoint> asEntryPoints = HandleEntryPoints(hTarget);

    /* Live buffers around the forgeries, so that a forged handle could hit something real. */
    buffer_handle_t hOwn = Alloc();
    buffer_handle_t hLocked = Alloc();
    void *apv[3] = {};
    ASSERT_EQ(0, psGralloc->lock(psGralloc, hLocked, GRALLOC_USAGE_SW_READ_OFTEN, 0, 0, 32, 16, apv));
    buffer_handle_t hForeign = psForeign->Make(kSw | GRALLOC_USAGE_HW_TEXTURE);
    ASSERT_EQ(0, psGralloc->registerBuffer(psGralloc, hForeign));
    buffer_handle_t hDisplay = nullptr;
    int iStride = 0;
    ASSERT_EQ(
        0, psAlloc->alloc(psAlloc, psFb->width, psFb->height, psFb->format, GRALLOC_USAGE_HW_FB, &hDisplay, &iStride));

    Forgery f;
    struct Forged {
        std::string sName;
        buffer_handle_t h;
        /* A structurally sound handle of an unknown buffer can only be refused by what it
           names: registration tries to map its descriptor and fails. */
        bool bRegisterMaps;
        bool bOtherMemory = false;
        /* Another process's display buffer, as far as this one can tell: registration takes
           nothing and answers 0, and so does unregistration. */
        bool bForeignDisplay = false;
    };
    std::vector<Forged> asForged = {{"NULL handle", nullptr, false},
                                    {"native_handle_create(0, 0)", f.Raw(0, 0), false},
                                    {"native_handle_create(1, 0)", f.Raw(1, 0), false},
                                    {"native_handle_create(0, 9)", f.Raw(0, 9), false},
                                    {"native_handle_create(3, 8)", f.Raw(3, 8), false}};
    const buffer_handle_t ahSources[] = {hOwn, hForeign, hDisplay};
    for (buffer_handle_t hSource : ahSources) {
        std::string sOf = hSource == hOwn       ? " of an own buffer"
                          : hSource == hForeign ? " of a foreign buffer"
                                                : " of a display buffer";
        const int aiRefused[] = {4,
                                 GRALLOC_USAGE_HW_2D,
                                 GRALLOC_USAGE_HW_VIDEO_ENCODER,
                                 GRALLOC_USAGE_PRIVATE_0,
                                 GRALLOC_USAGE_PRIVATE_3,
                                 (int)0x80000000u};
        for (int iBit : aiRefused) {
            VEK_native_handle_t *ps = f.Copy(hSource);
            ps->usage |= iBit;
            asForged.push_back({"refused usage bit " + std::to_string(iBit) + sOf, &ps->base, false});
        }
        VEK_native_handle_t *ps = f.Copy(hSource);
        ps->base.version = 16;
        asForged.push_back({"version 16" + sOf, &ps->base, false});
        ps = f.Copy(hSource);
        ps->base.numFds = -1;
        ps->base.numInts = 11;
        asForged.push_back({"negative numFds" + sOf, &ps->base, false});
        ps = f.Copy(hSource);
        ps->base.numFds = 4;
        ps->base.numInts = 6;
        asForged.push_back({"four descriptors" + sOf, &ps->base, false});
    }
    /* Sound structure, unknown stamp, descriptors that are not device memory. */
    int iNull = f.Own(open("/dev/null", O_RDWR));
    int aiPipe[2];
    ASSERT_EQ(0, pipe(aiPipe));
    f.Own(aiPipe[0]);
    f.Own(aiPipe[1]);
    const int aiNotMemory[] = {iNull, aiPipe[0], 99999};
    for (int iFd : aiNotMemory) {
        VEK_native_handle_t *ps = f.Copy(hOwn);
        ps->ui64Stamp = 0xdead0000beefULL;
        ps->fd[0] = iFd;
        asForged.push_back({"unknown stamp with descriptor " + std::to_string(iFd), &ps->base, true});
    }
    /* A live buffer's memory under a stamp that is not its own. */
    VEK_native_handle_t *psOtherStamp = f.Copy(hOwn);
    psOtherStamp->ui64Stamp = 0xdead0003beefULL;
    asForged.push_back({"a live buffer's descriptor under another stamp", &psOtherStamp->base, false});
    /* Descriptor slots that disagree with the count of descriptors. */
    VEK_native_handle_t *psMissing = f.Copy(hOwn);
    psMissing->ui64Stamp = 0xdead0001beefULL;
    psMissing->fd[0] = -1;
    asForged.push_back({"one descriptor counted, none held", &psMissing->base, false});
    VEK_native_handle_t *psExtra = f.Copy(hOwn);
    psExtra->ui64Stamp = 0xdead0002beefULL;
    psExtra->fd[1] = iNull;
    asForged.push_back({"a descriptor beyond the count", &psExtra->base, false});
    /* A display buffer's stamp in a handle that claims no display usage and no descriptor. */
    VEK_native_handle_t *psDisplayStamp = f.Copy(hDisplay);
    psDisplayStamp->usage = GRALLOC_USAGE_HW_RENDER;
    psDisplayStamp->base.numFds = 0;
    psDisplayStamp->base.numInts = 10;
    psDisplayStamp->fd[0] = psDisplayStamp->fd[1] = psDisplayStamp->fd[2] = -1;
    /* A stale handle: a copy of a buffer since freed; its descriptor is closed. */
    buffer_handle_t hFreed = Alloc();
    VEK_native_handle_t *psStale = f.Copy(hFreed);
    ASSERT_EQ(0, psAlloc->free(psAlloc, hFreed));
    /* Its descriptor number may since name another buffer's memory, whose stamp is not its. */
    asForged.push_back({"stale handle of a freed buffer", &psStale->base, true, true});
    /* The high word of a live buffer's stamp alone differs. */
    VEK_native_handle_t *psHigh = f.Copy(hOwn);
    psHigh->ui64Stamp ^= 1ULL << 40;
    psHigh->fd[0] = iNull;
    asForged.push_back({"stamp differing in its high word", &psHigh->base, true});

    /* A display usage with ints in the descriptor slots: an int is never one of this process's
       descriptors, whoever's buffer it happens to number (and a display buffer names no memory). */
    for (VEK_UINT64 ui64Stamp : {(VEK_UINT64)0xdead0003beefULL, AsVek(hOwn)->ui64Stamp, AsVek(hForeign)->ui64Stamp}) {
        for (int iFds : {0, 1}) {
            VEK_native_handle_t *ps = f.Copy(hForeign);
            ps->usage = GRALLOC_USAGE_HW_FB | GRALLOC_USAGE_SW_READ_OFTEN;
            ps->base.numFds = iFds;
            ps->base.numInts = 10 - iFds;
            ps->fd[0] = AsVek(ui64Stamp == AsVek(hOwn)->ui64Stamp ? hOwn : hForeign)->fd[0];
            ps->ui64Stamp = ui64Stamp;
            asForged.push_back({"display usage with descriptor " + std::to_string(ps->fd[0]) + " among " +
                                    std::to_string(iFds) + " descriptors, stamp " + std::to_string(ui64Stamp),
                                &ps->base, false});
        }
    }
    /* The display pattern, but not the display buffer's very handle. */
    VEK_native_handle_t *psDisplayCopy = f.Copy(hDisplay);
    asForged.push_back({"a copy of a display buffer's handle", &psDisplayCopy->base, false, false, true});
    /* A format no record knows, on a registered buffer and on one never seen. */
    for (buffer_handle_t hSource : {hForeign, psForeign->Make(kSw | GRALLOC_USAGE_HW_TEXTURE)}) {
        VEK_native_handle_t *ps = f.Copy(hSource);
        ps->iFormat = 3;
        asForged.push_back({std::string("format 3 on a ") + (hSource == hForeign ? "registered" : "new") + " buffer",
                            &ps->base, false});
    }
    /* Sizes whose rows wrap 32 bits, or that a one-page plane cannot hold: a copy of a registered
       buffer's handle, and a new buffer of its own memory. */
    const int aiSizes[][2] = {{134217760, 1}, {INT_MAX, 1000}, {INT_MAX, 1}, {64, 0x40000000}, {1 << 16, 1 << 16}};
    for (const auto &aiSize : aiSizes) {
        for (buffer_handle_t hSource : {hForeign, psForeign->MakeAs(kSw | GRALLOC_USAGE_HW_TEXTURE, 64, 16,
                                                                    HAL_PIXEL_FORMAT_BGRA_8888, {4096})}) {
            VEK_native_handle_t *ps = f.Copy(hSource);
            ps->iWidth = aiSize[0];
            ps->iHeight = aiSize[1];
            asForged.push_back({std::to_string(aiSize[0]) + " x " + std::to_string(aiSize[1]) + " on a " +
                                    (hSource == hForeign ? "registered" : "new") + " buffer",
                                &ps->base, false});
        }
    }
    /* A video buffer whose chroma plane is far smaller than its rows: 256 x 256 needs 32,768. */
    buffer_handle_t hShortChroma =
        psForeign->MakeAs(kSw | GRALLOC_USAGE_HW_TEXTURE, 256, 256, ForeignAllocator::kNV12, {65536, 4096});
    asForged.push_back({"NV12 with a 4096-byte chroma plane", hShortChroma, false});
    /* Memory of its own under another buffer's stamp, or a stamp nobody has: the memory's own
       stamp says otherwise, with and without mapping usage. */
    for (int iUsage : {kSw | GRALLOC_USAGE_HW_TEXTURE, (int)GRALLOC_USAGE_HW_COMPOSER}) {
        for (VEK_UINT64 ui64Stamp :
             {AsVek(hOwn)->ui64Stamp, AsVek(hLocked)->ui64Stamp, (VEK_UINT64)0xdead0005beefULL}) {
            VEK_native_handle_t *ps = f.Copy(psForeign->Make(iUsage));
            ps->ui64Stamp = ui64Stamp;
            asForged.push_back(
                {"own memory under stamp " + std::to_string(ui64Stamp) + " with usage " + std::to_string(iUsage),
                 &ps->base, false});
        }
    }

    for (const Forged &sForged : asForged) {
        for (const HandleEntryPoint &sEntry : asEntryPoints) {
            const std::string sName = sEntry.pszName;
            bool bMaps = sForged.bRegisterMaps && sName == "registerBuffer";
            /* In Post2's list NULL stands for the buffer a bypassed post kept: none is kept. */
            bool bNoKept = sForged.h == nullptr && sName == "Post2 of it";
            const bool bTakesNothing =
                sForged.bForeignDisplay && (sName == "registerBuffer" || sName == "unregisterBuffer");
            const std::set<int> aiExpected = bTakesNothing                   ? std::set<int>{0}
                                             : bMaps && sForged.bOtherMemory ? std::set<int>{-EFAULT, -EINVAL}
                                             : bMaps || bNoKept              ? std::set<int>{-EFAULT}
                                                                             : std::set<int>{-EINVAL};
            Try(sName + " with " + sForged.sName, aiExpected, [&] { return sEntry.pfnCall(sForged.h); });
        }
    }
    /* The stamp alone names the buffer for the other entry points; a free must still not
       release a display buffer as if it were an allocation. */
    Try("free with a display buffer's stamp without display usage", {-EINVAL},
        [&] { return psAlloc->free(psAlloc, &psDisplayStamp->base); });
    printf("bad input: %u forged-handle calls\n", uiTried);

    ASSERT_EQ(0, psGralloc->unlock(psGralloc, hLocked));
    EXPECT_EQ(0, psGralloc->unregisterBuffer(psGralloc, hForeign));
    EXPECT_EQ(0, psAlloc->free(psAlloc, hLocked));
    EXPECT_EQ(0, psAlloc->free(psAlloc, hOwn));
    EXPECT_EQ(0, psAlloc->free(psAlloc, hTarget));
    EXPECT_EQ(0, psAlloc->free(psAlloc, hDisplay));
}

TEST_F(BadInputTest, MisusedBuffersAreRefusedAndChangeNothing) {
    buffer_handle_t hOwn = Alloc();
    buffer_handle_t hForeign = psForeign->Make(kSw | GRALLOC_USAGE_HW_TEXTURE);
    buffer_handle_t hNeverRegistered = psForeign->Make(kSw | GRALLOC_USAGE_HW_TEXTURE);
    ASSERT_EQ(0, psGralloc->registerBuffer(psGralloc, hForeign));
    buffer_handle_t hDisplay = nullptr;
    int iStride = 0;
    ASSERT_EQ(
        0, psAlloc->alloc(psAlloc, psFb->width, psFb->height, psFb->format, GRALLOC_USAGE_HW_FB, &hDisplay, &iStride));
    void *apv[3] = {};

    Try("free of another process's buffer", {-EINVAL}, [&] { return psAlloc->free(psAlloc, hForeign); });
    Try("unlock without lock", {-EINVAL}, [&] { return psGralloc->unlock(psGralloc, hOwn); });
    Try("unlock of a foreign buffer without lock", {-EINVAL}, [&] { return psGralloc->unlock(psGralloc, hForeign); });
    Try("unregister of a never-registered buffer", {-EINVAL},
        [&] { return psGralloc->unregisterBuffer(psGralloc, hNeverRegistered); });
    Try("lock of a never-registered buffer", {-EINVAL},
        [&] { return psGralloc->lock(psGralloc, hNeverRegistered, kSw, 0, 0, 1, 1, apv); });
    Try("second registration of a foreign buffer", {-EINVAL},
        [&] { return psGralloc->registerBuffer(psGralloc, hForeign); });

    ASSERT_EQ(0, psGralloc->lock(psGralloc, hOwn, GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0, 32, 16, apv));
    Try("free of a locked buffer", {-EFAULT}, [&] { return psAlloc->free(psAlloc, hOwn); });
    Try("nested write lock", {-EINVAL},
        [&] { return psGralloc->lock(psGralloc, hOwn, GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0, 1, 1, apv); });
    Try("nested lock with another usage", {-EINVAL},
        [&] { return psGralloc->lock(psGralloc, hOwn, GRALLOC_USAGE_SW_READ_OFTEN, 0, 0, 1, 1, apv); });
    ASSERT_EQ(0, psGralloc->unlock(psGralloc, hOwn));
    ASSERT_EQ(0, psGralloc->lock(psGralloc, hForeign, GRALLOC_USAGE_SW_READ_OFTEN, 0, 0, 32, 16, apv));
    Try("unregister of a locked buffer", {-EINVAL}, [&] { return psGralloc->unregisterBuffer(psGralloc, hForeign); });
    ASSERT_EQ(0, psGralloc->unlock(psGralloc, hForeign));

    /* Display buffers: freed once, and only the very handles handed out. */
    native_handle_t *psDisplayCopy = CopyHandle(hDisplay);
    Try("free of a copy of a display buffer's handle", {-EINVAL},
        [&] { return psAlloc->free(psAlloc, psDisplayCopy); });
    native_handle_delete(psDisplayCopy);
    ASSERT_EQ(0, psAlloc->free(psAlloc, hDisplay));
    Try("double free of a display buffer", {-EINVAL}, [&] { return psAlloc->free(psAlloc, hDisplay); });

    /* A second free of an ordinary buffer comes with a handle the first one deleted: the copy a
       careless caller kept stands in for it. */
    native_handle_t *psOwnCopy = CopyHandle(hOwn);
    ASSERT_EQ(0, psAlloc->free(psAlloc, hOwn));
    Try("double free", {-EINVAL}, [&] { return psAlloc->free(psAlloc, psOwnCopy); });
    Try("unregister after free", {-EINVAL}, [&] { return psGralloc->unregisterBuffer(psGralloc, psOwnCopy); });
    native_handle_delete(psOwnCopy);

    ASSERT_EQ(0, psGralloc->unregisterBuffer(psGralloc, hForeign));
    Try("unregister twice", {-EINVAL}, [&] { return psGralloc->unregisterBuffer(psGralloc, hForeign); });
    Try("unlock after unregister", {-EINVAL}, [&] { return psGralloc->unlock(psGralloc, hForeign); });
    printf("bad input: %u misuses\n", uiTried);
}

TEST_F(BadInputTest, BadPostsAndBlitsAreRefusedAndKeepTheKeptBuffer) {
    const VEK_gralloc_module_public_t *psPublic = &psHMI->base;
    buffer_handle_t hOwn = Alloc();
    buffer_handle_t hForeign = psForeign->Make(kSw | GRALLOC_USAGE_HW_TEXTURE);
    buffer_handle_t ahDisplay[2] = {};
    int iStride = 0;
    for (buffer_handle_t &h : ahDisplay)
        ASSERT_EQ(0,
                  psAlloc->alloc(psAlloc, psFb->width, psFb->height, psFb->format, GRALLOC_USAGE_HW_FB, &h, &iStride));
    /* A kept buffer, which every refused call must leave kept. */
    Fb()->bBypassPost = 1;
    ASSERT_EQ(0, psFb->post(psFb, ahDisplay[1]));
    Fb()->bBypassPost = 0;
    ASSERT_NE(nullptr, reinterpret_cast<VEK_raw_framebuffer_device_t *>(psFb)->psLastPostedFrameBuffer);

    Try("post of a non-display buffer", {-EINVAL}, [&] { return psFb->post(psFb, hOwn); });
    Try("post of a foreign buffer never registered", {-EINVAL}, [&] { return psFb->post(psFb, hForeign); });
    native_handle_t *psDisplayCopy = CopyHandle(ahDisplay[0]);
    Try("post of a copy of a display buffer's handle", {-EINVAL}, [&] { return psFb->post(psFb, psDisplayCopy); });
    native_handle_delete(psDisplayCopy);
    Try("post through a NULL device", {-EINVAL}, [&] { return psFb->post(nullptr, ahDisplay[0]); });
    Try("setSwapInterval through a NULL device", {-EINVAL}, [&] { return psFb->setSwapInterval(nullptr, 1); });

    buffer_handle_t ahList[3] = {nullptr, ahDisplay[0], hOwn};
    Try("Post2 without a list", {-EINVAL}, [&] { return Fb()->Post2(psFb, nullptr, 1, nullptr, 0); });
    Try("Post2 of an empty list", {-EFAULT}, [&] { return Fb()->Post2(psFb, ahList, 0, nullptr, 0); });
    Try("Post2 of a negative count", {-EFAULT}, [&] { return Fb()->Post2(psFb, ahList, INT_MIN, nullptr, 0); });
    Try("Post2 through a NULL device", {-EINVAL}, [&] { return Fb()->Post2(nullptr, ahList, 2, nullptr, 0); });
    buffer_handle_t ahUnregistered[2] = {nullptr, hForeign};
    Try("Post2 with a buffer never registered after the kept one", {-EINVAL},
        [&] { return Fb()->Post2(psFb, ahUnregistered, 2, nullptr, 0); });

    std::vector<unsigned> auiCopy(32 * 16, 0xabababab);
    void *apvDest[3] = {auiCopy.data(), nullptr, nullptr};
    void *apvNoFirst[3] = {nullptr, auiCopy.data(), nullptr};
    Try("Blit without a destination", {-EINVAL},
        [&] { return psPublic->Blit(psPublic, hOwn, nullptr, HAL_PIXEL_FORMAT_BGRA_8888); });
    Try("Blit without a first plane", {-EINVAL},
        [&] { return psPublic->Blit(psPublic, hOwn, apvNoFirst, HAL_PIXEL_FORMAT_BGRA_8888); });
    Try("Blit through a NULL module", {-EINVAL},
        [&] { return psPublic->Blit(nullptr, hOwn, apvDest, HAL_PIXEL_FORMAT_BGRA_8888); });
    const int aiFormats[] = {0, HAL_PIXEL_FORMAT_RGB_888, -1, 0x7fffffff};
    for (int iFormat : aiFormats)
        Try("Blit into unknown format " + std::to_string(iFormat), {-EINVAL},
            [&] { return psPublic->Blit(psPublic, hOwn, apvDest, iFormat); });
    Try("Blit of a foreign buffer never registered", {-EINVAL},
        [&] { return psPublic->Blit(psPublic, hForeign, apvDest, HAL_PIXEL_FORMAT_BGRA_8888); });
    EXPECT_EQ(0xababababu, auiCopy[0]) << "a refused Blit writes nothing";

    Try("Blit2 without a destination", {-EINVAL}, [&] { return psPublic->Blit2(psPublic, hOwn, nullptr, 8, 8, 0, 0); });
    Try("Blit2 through a NULL module", {-EINVAL},
        [&] { return psPublic->Blit2(nullptr, hOwn, ahDisplay[0], 8, 8, 0, 0); });
    Try("Blit2 into a foreign buffer never registered", {-EINVAL},
        [&] { return psPublic->Blit2(psPublic, hOwn, hForeign, 8, 8, 0, 0); });
    /* The 2D engine writes where it is told: a rectangle that holds no pixel, or that does not lie
       inside the destination (800 x 480), is refused before anything is submitted. */
    const int aiRects[][4] = {{0, 0, 0, 8},         {0, 0, 8, 0},       {0, 0, -8, 8},      {0, 0, 8, INT_MIN},
                              {1000, 1000, 64, 64}, {760, 0, 64, 8},    {0, 450, 8, 64},    {-1, 0, 8, 8},
                              {0, -1, 8, 8},        {INT_MAX, 0, 8, 8}, {8, 8, INT_MAX, 8}, {0, 8, 8, INT_MAX}};
    const unsigned uiBlitsBefore = zolsim_calls("ZOL2DBlt3DExt");
    for (const auto &r : aiRects)
        Try("Blit2 into the rectangle " + std::to_string(r[2]) + " x " + std::to_string(r[3]) + " at (" +
                std::to_string(r[0]) + ", " + std::to_string(r[1]) + ")",
            {-EINVAL}, [&] { return psPublic->Blit2(psPublic, hOwn, ahDisplay[0], r[2], r[3], r[0], r[1]); });
    EXPECT_EQ(uiBlitsBefore, zolsim_calls("ZOL2DBlt3DExt")) << "none reached the 2D library";

    /* A handle that claims more than its buffer holds: the engine would read or write past it. */
    native_handle_t *psWider = CopyHandle(hOwn);
    AsVek(psWider)->iWidth = 100;
    native_handle_t *psTaller = CopyHandle(hOwn);
    AsVek(psTaller)->iHeight = 256;
    std::vector<unsigned> auiLarge(128 * 256);
    void *apvLarge[3] = {auiLarge.data(), nullptr, nullptr};
    for (native_handle_t *ps : {psWider, psTaller}) {
        const std::string sWhat = ps == psWider ? "wider" : "taller";
        Try("Blit from a handle claiming a " + sWhat + " buffer", {-EINVAL},
            [&] { return psPublic->Blit(psPublic, ps, apvLarge, HAL_PIXEL_FORMAT_BGRA_8888); });
        Try("Blit2 from a handle claiming a " + sWhat + " buffer", {-EINVAL},
            [&] { return psPublic->Blit2(psPublic, ps, ahDisplay[0], 8, 8, 0, 0); });
        Try("Blit2 into a handle claiming a " + sWhat + " buffer", {-EINVAL},
            [&] { return psPublic->Blit2(psPublic, ahDisplay[0], ps, 8, 8, 0, 0); });
        native_handle_delete(ps);
    }

    /* A buffer without pixels: nothing to copy, and no size to wrap caller memory by. */
    const int aiEmpty[][2] = {{64, 0}, {0, 16}, {-5, 16}, {16, -5}, {0, 0}};
    for (const auto &aiSize : aiEmpty) {
        native_handle_t *ps = CopyHandle(hOwn);
        AsVek(ps)->iWidth = aiSize[0];
        AsVek(ps)->iHeight = aiSize[1];
        const std::string sWhat = std::to_string(aiSize[0]) + " x " + std::to_string(aiSize[1]);
        Try("Blit from a " + sWhat + " buffer", {-EINVAL},
            [&] { return psPublic->Blit(psPublic, ps, apvDest, HAL_PIXEL_FORMAT_BGRA_8888); });
        Try("Blit2 from a " + sWhat + " buffer", {-EINVAL},
            [&] { return psPublic->Blit2(psPublic, ps, ahDisplay[0], 8, 8, 0, 0); });
        Try("Blit2 into a " + sWhat + " buffer", {-EINVAL},
            [&] { return psPublic->Blit2(psPublic, hOwn, ps, 8, 8, 0, 0); });
        native_handle_delete(ps);
    }

    /* The kept buffer is still there: Post2 shows it. */
    buffer_handle_t ahKept[1] = {nullptr};
    EXPECT_EQ(0, Fb()->Post2(psFb, ahKept, 1, nullptr, 0)) << "the kept buffer must survive every refused call";
    EXPECT_EQ(0, psAlloc->free(psAlloc, hOwn));
    for (buffer_handle_t h : ahDisplay) EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    printf("bad input: %u posts and blits\n", uiTried);
}

TEST_F(BadInputTest, LockRectanglesOutsideTheBufferAreRefused) {
    buffer_handle_t h = Alloc(); /* 32 x 16 */
    void *apv[3] = {};
    const int aiRects[][4] = {
        {-1, 0, 1, 1},      {0, -1, 1, 1},      {0, 0, -1, 1},
        {0, 0, 1, -1},      {33, 0, 0, 0},      {0, 17, 0, 0},
        {1, 0, 32, 16},     {0, 1, 32, 16},     {0, 0, 33, 16},
        {0, 0, 32, 17},     {31, 15, 2, 2},     {INT_MAX, 0, 1, 1},
        {0, INT_MAX, 1, 1}, {1, 0, INT_MAX, 1}, {0, 1, 1, INT_MAX},
        {INT_MIN, 0, 1, 1}, {0, 0, INT_MIN, 1}, {16, 8, INT_MAX, INT_MAX},
    };
    for (const auto &r : aiRects) {
        Try("lock of (" + std::to_string(r[0]) + ", " + std::to_string(r[1]) + ", " + std::to_string(r[2]) + ", " +
                std::to_string(r[3]) + ") in a 32 x 16 buffer",
            {-EINVAL}, [&] { return psGralloc->lock(psGralloc, h, kSw, r[0], r[1], r[2], r[3], apv); });
    }
    Try("software lock without vaddr", {-EINVAL},
        [&] { return psGralloc->lock(psGralloc, h, kSw, 0, 0, 1, 1, nullptr); });
    Try("lock through a NULL module", {-EINVAL}, [&] { return psGralloc->lock(nullptr, h, kSw, 0, 0, 1, 1, apv); });
    Try("unlock through a NULL module", {-EINVAL}, [&] { return psGralloc->unlock(nullptr, h); });
    Try("register through a NULL module", {-EINVAL}, [&] { return psGralloc->registerBuffer(nullptr, h); });
    Try("unregister through a NULL module", {-EINVAL}, [&] { return psGralloc->unregisterBuffer(nullptr, h); });
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    printf("bad input: %u rectangles and NULL modules\n", uiTried);
}

TEST_F(BadInputTest, BadArgumentsOfTheDevicesAndSlotsAreRefused) {
    const VEK_gralloc_module_public_t *psPublic = &psHMI->base;
    buffer_handle_t h = Alloc();
    buffer_handle_t hOut = nullptr;
    int iStride = 0;
    hw_device_t *psDevice = nullptr;

    Try("open with a NULL id", {-EINVAL}, [&] { return psModule->methods->open(psModule, nullptr, &psDevice); });
    Try("open with a NULL device", {-EINVAL},
        [&] { return psModule->methods->open(psModule, GRALLOC_HARDWARE_GPU0, nullptr); });
    const char *apszIds[] = {"", "gpu1", "GPU0", "fb1", "fb0 ", "gpu0\n"};
    for (const char *pszId : apszIds)
        Try(std::string("open of \"") + pszId + "\"", {-EINVAL},
            [&] { return psModule->methods->open(psModule, pszId, &psDevice); });
    EXPECT_EQ(nullptr, psDevice) << "a refused open must not touch *device";

    Try("alloc through a NULL device", {-EINVAL},
        [&] { return psAlloc->alloc(nullptr, 8, 8, HAL_PIXEL_FORMAT_RGB_565, kSw, &hOut, &iStride); });
    Try("alloc without a handle pointer", {-EINVAL},
        [&] { return psAlloc->alloc(psAlloc, 8, 8, HAL_PIXEL_FORMAT_RGB_565, kSw, nullptr, &iStride); });
    Try("alloc without a stride pointer", {-EINVAL},
        [&] { return psAlloc->alloc(psAlloc, 8, 8, HAL_PIXEL_FORMAT_RGB_565, kSw, &hOut, nullptr); });
    const int aiFormats[] = {0, HAL_PIXEL_FORMAT_RGB_888, HAL_PIXEL_FORMAT_RGBA_5551, -1, 0x7fffffff};
    for (int iFormat : aiFormats)
        Try("alloc of unknown format " + std::to_string(iFormat), {-EINVAL},
            [&] { return psAlloc->alloc(psAlloc, 8, 8, iFormat, kSw, &hOut, &iStride); });
    const int aiUsages[] = {
        4, 0x40, GRALLOC_USAGE_HW_2D, GRALLOC_USAGE_HW_VIDEO_ENCODER, GRALLOC_USAGE_PRIVATE_0, (int)0x80000000u, -1};
    for (int iUsage : aiUsages)
        Try("alloc with refused usage " + std::to_string(iUsage), {-EINVAL},
            [&] { return psAlloc->alloc(psAlloc, 8, 8, HAL_PIXEL_FORMAT_RGB_565, iUsage, &hOut, &iStride); });
    Try("display alloc in a format the GPU cannot render", {-EINVAL},
        [&] { return psAlloc->alloc(psAlloc, 8, 8, HAL_PIXEL_FORMAT_YV12, GRALLOC_USAGE_HW_FB, &hOut, &iStride); });
    EXPECT_EQ(nullptr, hOut) << "a refused alloc must not touch *handle";
    Try("free through a NULL device", {-EINVAL}, [&] { return psAlloc->free(nullptr, h); });

    char acDump[8] = "unset!";
    Try("dump into a NULL buffer", {0}, [&] {
        psAlloc->dump(psAlloc, nullptr, 100);
        return 0;
    });
    Try("dump of length 0 and -1", {0}, [&] {
        psAlloc->dump(psAlloc, acDump, 0);
        psAlloc->dump(psAlloc, acDump, -1);
        return 0;
    });
    EXPECT_STREQ("unset!", acDump) << "a dump with no room must write nothing";
    Try("dump through a NULL device", {0}, [&] {
        psAlloc->dump(nullptr, acDump, (int)sizeof(acDump));
        return 0;
    });

    VEK_UINT64 ui64Stamp = AsVek(h)->ui64Stamp;
    ZOLSRV_CLIENT_MEM_INFO *apsMem[3] = {};
    Try("map through a NULL module", {-EINVAL},
        [&] { return psHMI->map(nullptr, ui64Stamp, GRALLOC_USAGE_HW_TEXTURE, apsMem); });
    Try("map without a mem-info array", {-EINVAL},
        [&] { return psHMI->map(psGralloc, ui64Stamp, GRALLOC_USAGE_HW_TEXTURE, nullptr); });
    Try("map with software usage", {-EINVAL},
        [&] { return psHMI->map(psGralloc, ui64Stamp, GRALLOC_USAGE_SW_READ_RARELY, apsMem); });
    Try("map of an unknown stamp", {-EINVAL},
        [&] { return psHMI->map(psGralloc, ui64Stamp ^ (1ULL << 33), GRALLOC_USAGE_HW_TEXTURE, apsMem); });
    Try("unmap of an unknown stamp", {-EINVAL}, [&] { return psHMI->unmap(psGralloc, ui64Stamp + 1000); });
    Try("unmap without map", {-EINVAL}, [&] { return psHMI->unmap(psGralloc, ui64Stamp); });
    Try("unmap through a NULL module", {-EINVAL}, [&] { return psHMI->unmap(nullptr, ui64Stamp); });
    ASSERT_EQ(0, psHMI->map(psGralloc, ui64Stamp, GRALLOC_USAGE_HW_RENDER, apsMem));
    Try("map for writing while mapped for writing", {-EINVAL},
        [&] { return psHMI->map(psGralloc, ui64Stamp, GRALLOC_USAGE_HW_RENDER, apsMem); });
    Try("map for reading while mapped for writing", {-EINVAL},
        [&] { return psHMI->map(psGralloc, ui64Stamp, GRALLOC_USAGE_HW_TEXTURE, apsMem); });
    ASSERT_EQ(0, psHMI->unmap(psGralloc, ui64Stamp));

    unsigned int auiPhy[3] = {};
    Try("GetPhyAddrs through a NULL module", {-EINVAL}, [&] { return psPublic->GetPhyAddrs(nullptr, h, auiPhy); });
    Try("GetPhyAddrs without an address array", {-EINVAL}, [&] { return psPublic->GetPhyAddrs(psPublic, h, nullptr); });
    Try("LogSyncs of a NULL module", {0}, [&] {
        psHMI->LogSyncs(nullptr);
        return 0;
    });
    Try("fb0 close of a NULL device", {-EINVAL}, [&] { return psFb->common.close(nullptr); });

    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    printf("bad input: %u device and slot arguments\n", uiTried);
}

}  // namespace

namespace {

TEST_F(BadInputTest, FreeClosesTheDescriptorsTheAllocationExportedNotTheOnesTheHandleNames) {
    buffer_handle_t h = Alloc();
    const unsigned uiExported = zolsim_live_exported_fds(), uiAllocations = zolsim_live_allocations();
    int iNull = open("/dev/null", O_RDWR);
    ASSERT_GE(iNull, 0);
    /* The stamp names the buffer; the descriptor slot names a file that is not the buffer's. */
    native_handle_t *psCopy = CopyHandle(h);
    AsVek(psCopy)->fd[0] = iNull;
    ASSERT_EQ(0, psAlloc->free(psAlloc, psCopy)) << "the buffer the stamp names is freed";
    EXPECT_NE(-1, fcntl(iNull, F_GETFD)) << "free must not close a descriptor the allocation did not export";
    EXPECT_EQ(uiExported - 1, zolsim_live_exported_fds()) << "free must close the descriptor the allocation exported";
    EXPECT_EQ(uiAllocations - 1, zolsim_live_allocations());
    close(iNull);
    native_handle_delete(const_cast<native_handle_t *>(h)); /* free deleted the copy it was given */
}

}  // namespace
