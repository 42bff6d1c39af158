/* A hostile client: a real second process (client_process --hostile) sends this process, the
   compositor, every kind of forged handle over a Unix socket, as Android sends handles
   (descriptors with SCM_RIGHTS, the ints as data). The compositor tries each against every
   handle-taking entry point but free (it frees only what it allocated) and lets it go as
   Android does; each call must be refused without touching another buffer's memory, and once the
   handle is closed and deleted nothing of it may be left: descriptors, live objects, mapper
   entries. A genuine buffer of the client's registers and shows its pixels, and afterwards the
   compositor composes and posts as usual. */
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "bad_input_fixture.h"
#include "handle_transport.h"
#include "hostile_client.h"

namespace {

/* The memory of one plane of a buffer that no forgery may touch, and a copy to compare with. */
struct Watched {
    std::string sName;
    VEK_UINT64 ui64Stamp; /* of the plane's memory */
    const unsigned char *puc;
    std::vector<unsigned char> aucCopy;
};

/* The client process and the compositor's end of its socket; whatever way the test ends, the
   socket closes (the client then ends) and the client is waited for. */
struct HostileClient {
    ~HostileClient() {
        if (iSocket >= 0) close(iSocket);
        if (sProgram.iPid >= 0) FinishProgram(&sProgram, nullptr);
    }
    int iSocket = -1;
    StartedProgram sProgram;
};

class HostileClientTest : public BadInputTest {
protected:
    /* The planes of a buffer of this process, as its mapper entry holds them. */
    std::vector<ZOLSRV_CLIENT_MEM_INFO *> Planes(buffer_handle_t h) {
        std::vector<ZOLSRV_CLIENT_MEM_INFO *> apsPlanes;
        for (VEK_mapper_meminfo_t *ps = Private()->psMapList; ps != nullptr; ps = ps->psNext)
            if (ps->ui64Stamp == AsVek(h)->ui64Stamp)
                for (int i = 0; i < 3 && ps->apsMemInfo[i] != nullptr; i++) apsPlanes.push_back(ps->apsMemInfo[i]);
        return apsPlanes;
    }

    /* Fills the buffer's planes with a pattern of its own and watches them from now on. */
    void Watch(const std::string &sName, buffer_handle_t h, bool bFill) {
        const std::vector<ZOLSRV_CLIENT_MEM_INFO *> apsPlanes = Planes(h);
        ASSERT_FALSE(apsPlanes.empty()) << sName << " has no memory in this process";
        for (ZOLSRV_CLIENT_MEM_INFO *psMem : apsPlanes) {
            unsigned char *puc = static_cast<unsigned char *>(psMem->pvLinAddr);
            if (bFill)
                for (size_t i = 0; i < psMem->uAllocSize; i++) puc[i] = (unsigned char)(i * 7 + asWatched.size() * 31);
            asWatched.push_back(
                {sName, psMem->ui64Stamp, puc, std::vector<unsigned char>(puc, puc + psMem->uAllocSize)});
        }
    }

    /* Each change is reported once: the copy then follows the memory. */
    void ExpectWatchedUnchanged(const std::string &sAfter) {
        for (Watched &w : asWatched) {
            const ZOLSRV_CLIENT_MEM_INFO *psMem = zolsim_meminfo_by_stamp(w.ui64Stamp);
            if (w.puc == nullptr) continue;
            if (psMem == nullptr || psMem->pvLinAddr != w.puc) {
                ADD_FAILURE() << sAfter << " took the memory of " << w.sName << " from this process";
                w.puc = nullptr;
                continue;
            }
            if (memcmp(w.puc, w.aucCopy.data(), w.aucCopy.size()) == 0) continue;
            ADD_FAILURE() << sAfter << " changed the memory of " << w.sName;
            memcpy(w.aucCopy.data(), w.puc, w.aucCopy.size());
        }
    }

    /* A whole read lock of the genuine buffer must show the pixels the client wrote. */
    void ExpectGenuinePixels(buffer_handle_t h, const std::string &sWhen) {
        void *apv[3] = {};
        ASSERT_EQ(0, psGralloc->lock(psGralloc, h, GRALLOC_USAGE_SW_READ_OFTEN, 0, 0, kHostileGenuineWidth,
                                     kHostileGenuineHeight, apv))
            << sWhen;
        const unsigned *pui = static_cast<const unsigned *>(apv[0]);
        int iMismatches = 0;
        for (int y = 0; y < kHostileGenuineHeight; y++)
            for (int x = 0; x < kHostileGenuineWidth; x++)
                iMismatches += pui[y * kHostileGenuineWidth + x] != HostileGenuinePixel(x, y);
        EXPECT_EQ(0, iMismatches) << "the genuine buffer must show the client's pixels " << sWhen;
        EXPECT_EQ(0, psGralloc->unlock(psGralloc, h));
    }

    std::vector<Watched> asWatched;
};

/* The screen's RGB 565 pixel for a BGRA 8888 one whose components it holds exactly. */
unsigned short As565(unsigned uiPixel) {
    return (unsigned short)(((uiPixel >> 19) & 0x1f) << 11 | ((uiPixel >> 10) & 0x3f) << 5 | ((uiPixel >> 3) & 0x1f));
}

TEST_F(HostileClientTest, ForgedHandlesFromAnotherProcessReachNothingAndTheCompositorGoesOn) {
    /* The compositor's buffers, which the forgeries claim and must not reach. */
    constexpr int kVideoUsage = kSw | GRALLOC_USAGE_HW_TEXTURE;
    buffer_handle_t hTarget = Alloc(kSw | GRALLOC_USAGE_HW_TEXTURE | GRALLOC_USAGE_HW_RENDER, 64, 32);
    buffer_handle_t hOwn = Alloc(kSw | GRALLOC_USAGE_HW_TEXTURE | GRALLOC_USAGE_HW_RENDER, 64, 32);
    buffer_handle_t hLocked = Alloc(kSw | GRALLOC_USAGE_HW_TEXTURE | GRALLOC_USAGE_HW_RENDER, 64, 32);
    buffer_handle_t hVideo = Alloc(kVideoUsage, 64, 32, ForeignAllocator::kNV12);
    buffer_handle_t hLent = Alloc(GRALLOC_USAGE_HW_COMPOSER, 64, 32, ForeignAllocator::kNV12);
    buffer_handle_t hDisplay = Alloc(GRALLOC_USAGE_HW_FB, (int)psFb->width, (int)psFb->height, psFb->format);
    ASSERT_TRUE(hTarget && hOwn && hLocked && hVideo && hLent && hDisplay);
    ASSERT_NE(0, AsVek(hLent)->usage & GRALLOC_USAGE_PRIVATE_1) << "the video buffer for the composer must be lent";
    void *apv[3] = {};
    ASSERT_EQ(0, psGralloc->lock(psGralloc, hLocked, GRALLOC_USAGE_SW_READ_OFTEN, 0, 0, 64, 32, apv));

    const struct {
        const char *pszName;
        buffer_handle_t h;
    } asVictims[] = {{"an own buffer", hOwn},      {"a read-locked buffer", hLocked}, {"an own video buffer", hVideo},
                     {"a lent video pair", hLent}, {"a display buffer", hDisplay},    {"the blit target", hTarget}};
    HostileBrief sBrief = {};
    sBrief.iMagic = kHostileBriefMagic;
    for (const auto &sVictim : asVictims) {
        Watch(sVictim.pszName, sVictim.h, true);
        HostileVictim &v = sBrief.asVictims[sBrief.iVictims++];
        snprintf(v.szName, sizeof(v.szName), "%s", sVictim.pszName);
        const VEK_native_handle_t *ps = AsVek(sVictim.h);
        for (int i = 0; i < 3; i++) v.aiFd[i] = ps->fd[i];
        v.ui64Stamp = ps->ui64Stamp;
        v.iWidth = ps->iWidth;
        v.iHeight = ps->iHeight;
        v.iFormat = ps->iFormat;
        v.iUsage = ps->usage;
    }
    if (HasFatalFailure()) return;
    /* Stands in for a guess of the next stamp, which on a busy system other processes could take
       first: the compositor's next allocation gets this one. */
    sBrief.ui64NextStamp = 0x5eed000000000000ULL | (VEK_UINT64)getpid() << 16;
    zolsim_set_next_stamp(sBrief.ui64NextStamp);

    const std::vector<HandleEntryPoint> asAll = HandleEntryPoints(hTarget);
    std::vector<HandleEntryPoint> asEntryPoints;
    for (const HandleEntryPoint &sEntry : asAll)
        if (strcmp(sEntry.pszName, "free") != 0) asEntryPoints.push_back(sEntry);

    /* The client gets its end of the socket and nothing else of this process's. */
    HostileClient sClient;
    int aiSockets[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, aiSockets));
    sClient.iSocket = aiSockets[0];
    const std::vector<int> aiInherit = {aiSockets[1]};
    const bool bStarted = StartProgram(TestBinaryDir() + "/client_process", "client_process",
                                       {"--hostile", std::to_string(aiSockets[1])}, &sClient.sProgram, &aiInherit);
    close(aiSockets[1]);
    ASSERT_TRUE(bStarted);
    /* A client that stops answering fails the test instead of holding it up. */
    struct timeval sTimeout = {60, 0};
    ASSERT_EQ(0, setsockopt(sClient.iSocket, SOL_SOCKET, SO_RCVTIMEO, &sTimeout, sizeof(sTimeout)));
    ASSERT_EQ((ssize_t)sizeof(sBrief), send(sClient.iSocket, &sBrief, sizeof(sBrief), 0));

    buffer_handle_t hGenuine = nullptr;
    unsigned uiForged = 0;
    for (;;) {
        char acName[512];
        const ssize_t iLen = recv(sClient.iSocket, acName, sizeof(acName) - 1, 0);
        ASSERT_GT(iLen, 0) << "the client stopped before the end of its stream";
        acName[iLen] = '\0';
        const HostileKind eKind = (HostileKind)acName[0];
        const std::string sName = acName + 1;
        if (eKind == kHostileEnd) break;

        const Snapshot sBefore = Take();
        BufferDescription sDescription;
        native_handle_t *psHandle = ReceiveBufferHandle(sClient.iSocket, &sDescription);
        ASSERT_NE(nullptr, psHandle) << sName << ": the handle did not arrive";
        if (eKind == kHostileGenuine) {
            ASSERT_EQ(0, psGralloc->registerBuffer(psGralloc, psHandle)) << "the genuine buffer must register";
            hGenuine = psHandle;
            ExpectGenuinePixels(hGenuine, "once registered");
            Watch("the genuine buffer", hGenuine, false);
        } else {
            uiForged++;
            /* Another process's display buffer, as far as this one can tell: its registration takes
               nothing and answers 0, and so does its unregistration. */
            const VEK_native_handle_t *psVek = AsVek(psHandle);
            const bool bDisplay = psHandle->numFds >= 0 && psHandle->numInts >= 0 &&
                                  psHandle->numFds + psHandle->numInts == 10 &&
                                  (psVek->usage & GRALLOC_USAGE_HW_FB) != 0 && psVek->fd[0] == -2 &&
                                  psVek->fd[1] == -2 && psVek->fd[2] == -2;
            for (const HandleEntryPoint &sEntry : asEntryPoints) {
                const bool bMaps = eKind == kHostileNotMemory && strcmp(sEntry.pszName, "registerBuffer") == 0;
                const bool bTakesNothing = bDisplay && (strcmp(sEntry.pszName, "registerBuffer") == 0 ||
                                                        strcmp(sEntry.pszName, "unregisterBuffer") == 0);
                Try(std::string(sEntry.pszName) + " with " + sName,
                    {bTakesNothing ? 0
                     : bMaps       ? -EFAULT
                                   : -EINVAL},
                    [&] { return sEntry.pfnCall(psHandle); });
            }
            /* Let go as Android lets a refused handle go. */
            native_handle_close(psHandle);
            native_handle_delete(psHandle);
            EXPECT_TRUE(sBefore == Take()) << sName << ": once closed and deleted it must leave nothing behind "
                                           << "(descriptors, live objects, mapper list, lock counts, misuse)";
            ExpectWatchedUnchanged(sName);
        }
        const char cDone = 1;
        ASSERT_EQ(1, send(sClient.iSocket, &cDone, 1, 0));
    }
    std::string sOutput;
    const int iStatus = FinishProgram(&sClient.sProgram, &sOutput);
    EXPECT_EQ(0, iStatus) << sOutput;
    EXPECT_EQ("sent=" + std::to_string(uiForged + 1) + "\n", sOutput) << "every handle the client sent was tried";
    printf("hostile client: %u forged handles, %u calls\n", uiForged, uiTried);
    ASSERT_NE(nullptr, hGenuine);

    /* The stamp a forgery took first is the next buffer's, and the buffer is sound. */
    buffer_handle_t hNext = Alloc(kSw | GRALLOC_USAGE_HW_TEXTURE | GRALLOC_USAGE_HW_RENDER, 64, 32);
    ASSERT_NE(nullptr, hNext);
    EXPECT_EQ(sBrief.ui64NextStamp, AsVek(hNext)->ui64Stamp);
    auto fnNextPixel = [](int x, int y) { return HostileGenuinePixel(y, x) ^ 0x00f8fc00u; };
    ASSERT_EQ(0, psGralloc->lock(psGralloc, hNext, GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0, 64, 32, apv));
    for (int y = 0; y < 32; y++)
        for (int x = 0; x < 64; x++) static_cast<unsigned *>(apv[0])[y * 64 + x] = fnNextPixel(x, y);
    ASSERT_EQ(0, psGralloc->unlock(psGralloc, hNext));

    /* The usual frame: both windows composed into the display buffer, which is posted by flip. */
    const VEK_gralloc_module_public_t *psPublic = &psHMI->base;
    ASSERT_EQ(0, psPublic->Blit2(psPublic, hGenuine, hDisplay, 64, 32, 0, 0));
    ASSERT_EQ(0, psPublic->Blit2(psPublic, hNext, hDisplay, 64, 32, 64, 0));
    ASSERT_EQ(0, psFb->post(psFb, hDisplay));
    ZOLSIM_SCREEN_INFO sScreen;
    ASSERT_NE(0, zolsim_screen_info(0, &sScreen));
    EXPECT_EQ(AsVek(hDisplay)->ui64Stamp, sScreen.ui64Stamp);
    std::vector<unsigned char> aucScreen(zolsim_screen_pixels(0, nullptr, 0));
    zolsim_screen_pixels(0, aucScreen.data(), aucScreen.size());
    int iWrong = 0;
    for (int y = 0; y < 32; y++)
        for (int x = 0; x < 128; x++) {
            unsigned short us = 0;
            memcpy(&us, &aucScreen[(size_t)y * (size_t)sScreen.lStride + (size_t)x * 2], 2);
            iWrong += us != As565(x < 64 ? HostileGenuinePixel(x, y) : fnNextPixel(x - 64, y));
        }
    EXPECT_EQ(0, iWrong) << "the screen must show both windows";
    /* The genuine buffer still reads its own memory, and goes as Android lets it go. */
    ExpectGenuinePixels(hGenuine, "after the forgeries and the frame");
    EXPECT_EQ(0, psGralloc->unregisterBuffer(psGralloc, hGenuine));
    native_handle_close(hGenuine);
    native_handle_delete(const_cast<native_handle_t *>(hGenuine));

    ASSERT_EQ(0, psGralloc->unlock(psGralloc, hLocked));
    for (buffer_handle_t h : {hNext, hTarget, hOwn, hLocked, hVideo, hLent, hDisplay})
        EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

/* The other side of the rule that a handle's descriptors name its buffer: one of this process's
   own buffers that comes back in another process's handle holds new descriptors of the same
   memory, and is the buffer; the same handle with a descriptor of other memory is not. */
TEST_F(HostileClientTest, AnOwnBufferBackInAnotherHandleIsUsableOnlyWithDescriptorsOfItsMemory) {
    buffer_handle_t h = Alloc(), hOther = Alloc();
    ASSERT_TRUE(h && hOther);
    Forgery f;
    VEK_native_handle_t *psBack = f.Copy(h);
    psBack->fd[0] = f.Own(dup(AsVek(h)->fd[0]));
    VEK_native_handle_t *psElse = f.Copy(h);
    psElse->fd[0] = f.Own(dup(AsVek(hOther)->fd[0]));
    ASSERT_GE(psBack->fd[0], 0);
    ASSERT_GE(psElse->fd[0], 0);

    void *apvOwn[3] = {}, *apvBack[3] = {};
    ASSERT_EQ(0, psGralloc->lock(psGralloc, h, GRALLOC_USAGE_SW_READ_OFTEN, 0, 0, 32, 16, apvOwn));
    ASSERT_EQ(0, psGralloc->unlock(psGralloc, h));
    EXPECT_EQ(0, psGralloc->registerBuffer(psGralloc, &psBack->base));
    ASSERT_EQ(0, psGralloc->lock(psGralloc, &psBack->base, GRALLOC_USAGE_SW_READ_OFTEN, 0, 0, 32, 16, apvBack));
    EXPECT_EQ(apvOwn[0], apvBack[0]) << "the handle from elsewhere locks the same buffer";
    EXPECT_EQ(0, psGralloc->unlock(psGralloc, &psBack->base));
    EXPECT_EQ(0, psHMI->base.Blit2(&psHMI->base, &psBack->base, hOther, 8, 8, 0, 0));
    EXPECT_EQ(0, psGralloc->unregisterBuffer(psGralloc, &psBack->base));
    /* The mapping made to compare goes even when the services refuse it, again and again: the
       worker gives it back. */
    const unsigned uiMappings = zolsim_live_mappings();
    zolsim_fail("ZOLSRVUnmapDeviceMemory", 1, ZOLSRV_ERROR_GENERIC);
    zolsim_fail("ZOLSRVUnmapDeviceMemory", 2, ZOLSRV_ERROR_GENERIC);
    EXPECT_EQ(0, psGralloc->registerBuffer(psGralloc, &psBack->base)) << "the comparison held up";
    EXPECT_TRUE(Eventually([&] { return zolsim_live_mappings() == uiMappings; })) << "the comparison's mapping went";
    EXPECT_EQ(0, psGralloc->unregisterBuffer(psGralloc, &psBack->base));

    Try("registerBuffer of an own buffer's handle with another buffer's memory", {-EINVAL},
        [&] { return psGralloc->registerBuffer(psGralloc, &psElse->base); });
    for (const HandleEntryPoint &sEntry : HandleEntryPoints(hOther))
        if (strcmp(sEntry.pszName, "free") != 0 && strcmp(sEntry.pszName, "registerBuffer") != 0)
            Try(std::string(sEntry.pszName) + " of an own buffer's handle with another buffer's memory", {-EINVAL},
                [&] { return sEntry.pfnCall(&psElse->base); });
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    EXPECT_EQ(0, psAlloc->free(psAlloc, hOther));
}

}  // namespace
