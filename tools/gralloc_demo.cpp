/* The demo compositor: uses the module exactly as an Android 4.0 compositor and its clients would.
   It runs as "surfaceflinger", opens the display and the allocator, hands window buffers to client
   processes over sockets, composes their windows into the back display buffer with Blit2, flushes
   with compositionComplete and posts by flip (one frame through the bypass path and Post2). The
   simulated display saves every shown frame as a PNG, and a contact sheet of them all. */
#include <dlfcn.h>
#include <fcntl.h>
#include <getopt.h>
#include <hardware/fb.h>
#include <hardware/gralloc.h>
#include <libgen.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "demo_protocol.h"
#include "hal.h"
#include "handle_transport.h"
#include "zolsim/control.h"

namespace {

constexpr const char *kCompositorName = "surfaceflinger";
/* Android's framebuffer window takes two display buffers. */
constexpr int kNumDisplayBuffers = 2;

struct Options {
    int iFrames = 8;
    std::string sOut = "demo-out";
    int iPresentMode = 0; /* the "HALPresentMode" hint: 0 flip, 1 blit, 2 front */
    unsigned uiWidth = 800, uiHeight = 480;
    bool b8888 = false;
};

void Usage(FILE *ps) {
    fprintf(ps,
            "usage: gralloc_demo [--frames N] [--out DIR] [--mode flip|blit|front] [--size WxH] "
            "[--format 565|8888] [--help]\n"
            "  --frames N     frames to compose and show (1..1000, default 8)\n"
            "  --out DIR      where the shown frames are saved as PNG (default demo-out)\n"
            "  --mode M       present mode, through the HALPresentMode app hint (default flip)\n"
            "  --size WxH     the simulated display's size (default 800x480; at least 480x320)\n"
            "  --format F     the display's pixel format: 565 (RGB 565, default) or 8888 (BGRA 8888)\n");
}

/* 0 with the options read, 1 after --help, 2 for bad options (with a message). */
int ParseOptions(int argc, char **argv, Options *ps) {
    static const struct option asLong[] = {{"frames", required_argument, nullptr, 'n'},
                                           {"out", required_argument, nullptr, 'o'},
                                           {"mode", required_argument, nullptr, 'm'},
                                           {"size", required_argument, nullptr, 's'},
                                           {"format", required_argument, nullptr, 'f'},
                                           {"help", no_argument, nullptr, 'h'},
                                           {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "", asLong, nullptr)) != -1;) {
        char *pszEnd = nullptr;
        switch (c) {
            case 'n': {
                long l = strtol(optarg, &pszEnd, 10);
                if (*optarg == '\0' || *pszEnd != '\0' || l < 1 || l > 1000) {
                    fprintf(stderr, "gralloc_demo: --frames wants a number from 1 to 1000, not \"%s\"\n", optarg);
                    return 2;
                }
                ps->iFrames = (int)l;
                break;
            }
            case 'o':
                if (*optarg == '\0') {
                    fprintf(stderr, "gralloc_demo: --out wants a directory\n");
                    return 2;
                }
                ps->sOut = optarg;
                break;
            case 'm':
                if (strcmp(optarg, "flip") == 0)
                    ps->iPresentMode = 0;
                else if (strcmp(optarg, "blit") == 0)
                    ps->iPresentMode = 1;
                else if (strcmp(optarg, "front") == 0)
                    ps->iPresentMode = 2;
                else {
                    fprintf(stderr, "gralloc_demo: --mode is flip, blit or front, not \"%s\"\n", optarg);
                    return 2;
                }
                break;
            case 's': {
                unsigned w = 0, h = 0;
                char cExtra;
                if (sscanf(optarg, "%ux%u%c", &w, &h, &cExtra) != 2 || w < 480 || h < 320 || w > 4096 || h > 4096) {
                    fprintf(stderr, "gralloc_demo: --size wants WxH from 480x320 to 4096x4096, not \"%s\"\n", optarg);
                    return 2;
                }
                ps->uiWidth = w;
                ps->uiHeight = h;
                break;
            }
            case 'f':
                if (strcmp(optarg, "565") == 0)
                    ps->b8888 = false;
                else if (strcmp(optarg, "8888") == 0)
                    ps->b8888 = true;
                else {
                    fprintf(stderr, "gralloc_demo: --format is 565 or 8888, not \"%s\"\n", optarg);
                    return 2;
                }
                break;
            case 'h':
                Usage(stdout);
                return 1;
            default:
                fprintf(stderr, "gralloc_demo: unknown or incomplete option \"%s\"\n", argv[optind - 1]);
                Usage(stderr);
                return 2;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "gralloc_demo: unexpected argument \"%s\"\n", argv[optind]);
        Usage(stderr);
        return 2;
    }
    return 0;
}

/* The words that start another program of this build: itself on the host, the emulator (which
   CTest names in ZOLSIM_EMULATOR) in the ARM build, since qemu-user cannot exec an ARM program. */
std::vector<std::string> ProgramArgv(const std::string &sPath, const std::string &sArgv0) {
    std::vector<std::string> as;
    const char *pszEmulator = getenv("ZOLSIM_EMULATOR");
    if (pszEmulator != nullptr && *pszEmulator != '\0') {
        std::istringstream sIn(pszEmulator);
        for (std::string sWord; sIn >> sWord;) as.push_back(sWord);
        as.insert(as.end(), {"-0", sArgv0, sPath});
    } else {
        as.push_back(sArgv0);
    }
    return as;
}

[[noreturn]] void Exec(const std::string &sPath, std::vector<std::string> asArgv) {
    std::vector<char *> apsz;
    for (std::string &s : asArgv) apsz.push_back(&s[0]);
    apsz.push_back(nullptr);
    if (asArgv[0] == sPath || getenv("ZOLSIM_EMULATOR") == nullptr || *getenv("ZOLSIM_EMULATOR") == '\0')
        execv(sPath.c_str(), apsz.data());
    else
        execvp(apsz[0], apsz.data());
    perror("gralloc_demo: exec");
    _exit(127);
}

std::string SelfPath() {
    char sz[4096];
    ssize_t n = readlink("/proc/self/exe", sz, sizeof(sz) - 1);
    if (n <= 0) return "";
    sz[n] = '\0';
    return sz;
}

std::string BinaryDir() {
    std::string s = SelfPath();
    return s.substr(0, s.rfind('/'));
}

/* One window: its buffer, where the compositor shows it, and the client process drawing it. */
struct Window {
    const char *pszName;
    DemoWindowKind eKind;
    int iFormat, iUsage;
    int x, y, w, h;
    buffer_handle_t hBuffer = nullptr;
    int iStride = 0;
    int iSocket = -1;
    pid_t iPid = -1;
};

int StartClient(Window *psWindow) {
    int aiSockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, aiSockets) != 0) return -errno;
    pid_t iPid = fork();
    if (iPid < 0) {
        close(aiSockets[0]);
        close(aiSockets[1]);
        return -EAGAIN;
    }
    if (iPid == 0) {
        /* The client's end survives the exec; nothing else of the compositor does. */
        int iFd = dup(aiSockets[1]);
        std::string sPath = BinaryDir() + "/demo_client";
        std::vector<std::string> asArgv = ProgramArgv(sPath, "demo_client");
        asArgv.push_back(std::to_string(iFd));
        asArgv.push_back(std::to_string((int)psWindow->eKind));
        Exec(sPath, asArgv);
    }
    close(aiSockets[1]);
    psWindow->iSocket = aiSockets[0];
    psWindow->iPid = iPid;
    BufferDescription sDescription = {psWindow->w, psWindow->h, psWindow->iStride, psWindow->iFormat,
                                      reinterpret_cast<const VEK_native_handle_t *>(psWindow->hBuffer)->usage};
    int iErr = SendBufferHandle(psWindow->iSocket, psWindow->hBuffer, sDescription);
    if (iErr != 0) return iErr;
    int iReply = -EIO;
    if (DemoReceiveInt(psWindow->iSocket, &iReply) != 0) return -EIO;
    return iReply;
}

/* Lets a client go and collects its exit status; 0 when it let its buffer go cleanly. */
int StopClient(Window *psWindow) {
    int iReply = -EIO;
    if (psWindow->iSocket >= 0) {
        if (DemoSendInt(psWindow->iSocket, kDemoQuit) == 0) DemoReceiveInt(psWindow->iSocket, &iReply);
        close(psWindow->iSocket);
        psWindow->iSocket = -1;
    }
    int iStatus = 0;
    if (psWindow->iPid > 0 && waitpid(psWindow->iPid, &iStatus, 0) == psWindow->iPid && WIFEXITED(iStatus) &&
        WEXITSTATUS(iStatus) != 0)
        iReply = -ECHILD;
    psWindow->iPid = -1;
    return iReply;
}

double NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

/* A background of the compositor's own: a soft vertical gradient with a grid. */
int DrawWallpaper(const gralloc_module_t *psGralloc, buffer_handle_t h, int w, int iHeight, int iStride, bool b8888) {
    void *apv[3] = {nullptr, nullptr, nullptr};
    int iErr = psGralloc->lock(psGralloc, h, GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0, w, iHeight, apv);
    if (iErr != 0) return iErr;
    for (int y = 0; y < iHeight; y++)
        for (int x = 0; x < w; x++) {
            unsigned r = 30, g = 40 + (unsigned)(y * 60 / iHeight), b = 90 + (unsigned)(y * 100 / iHeight);
            if (x % 40 == 0 || y % 40 == 0) r += 20, g += 20, b += 20;
            if (b8888)
                static_cast<unsigned *>(apv[0])[y * iStride + x] = 0xff000000u | r << 16 | g << 8 | b;
            else
                static_cast<unsigned short *>(apv[0])[y * iStride + x] =
                    (unsigned short)((r >> 3) << 11 | (g >> 2) << 5 | (b >> 3));
        }
    return psGralloc->unlock(psGralloc, h);
}

/* Frames shrunk by four and laid out four to a row. */
class ContactSheet {
public:
    void Add(const std::vector<unsigned char> &acRGB, unsigned w, unsigned h) {
        uiW = w / 4;
        uiH = h / 4;
        std::vector<unsigned char> ac((size_t)uiW * uiH * 3);
        for (unsigned y = 0; y < uiH; y++)
            for (unsigned x = 0; x < uiW; x++)
                memcpy(&ac[((size_t)y * uiW + x) * 3], &acRGB[((size_t)y * 4 * w + x * 4) * 3], 3);
        aFrames.push_back(ac);
    }
    int Save(const std::string &sPath) const {
        if (aFrames.empty()) return 0;
        const unsigned uiCols = aFrames.size() < 4 ? (unsigned)aFrames.size() : 4;
        const unsigned uiRows = ((unsigned)aFrames.size() + 3) / 4, uiGap = 4;
        const unsigned W = uiCols * (uiW + uiGap) + uiGap, H = uiRows * (uiH + uiGap) + uiGap;
        std::vector<unsigned char> ac((size_t)W * H * 3, 24);
        for (size_t i = 0; i < aFrames.size(); i++) {
            unsigned x0 = uiGap + (unsigned)(i % 4) * (uiW + uiGap), y0 = uiGap + (unsigned)(i / 4) * (uiH + uiGap);
            for (unsigned y = 0; y < uiH; y++)
                memcpy(&ac[((size_t)(y0 + y) * W + x0) * 3], &aFrames[i][(size_t)y * uiW * 3], (size_t)uiW * 3);
        }
        return zolsim_write_png(sPath.c_str(), ac.data(), W, H);
    }

private:
    unsigned uiW = 0, uiH = 0;
    std::vector<std::vector<unsigned char>> aFrames;
};

class Demo {
public:
    explicit Demo(const Options &s) : sOptions(s) {}
    int Run();

private:
    bool Check(const char *pszWhat, int iErr) {
        if (iErr == 0) return true;
        fprintf(stderr, "gralloc_demo: %s failed: %d (%s)\n", pszWhat, iErr, strerror(iErr < 0 ? -iErr : iErr));
        bFailed = true;
        return false;
    }
    int Compose(int iFrame, buffer_handle_t hBack);
    int ReadFrontBuffer(buffer_handle_t hFront, std::vector<unsigned char> *pacRGB);
    void TearDown();

    Options sOptions;
    bool bFailed = false;
    const hw_module_t *psModule = nullptr;
    const VEK_gralloc_module_t *psHMI = nullptr;
    framebuffer_device_t *psFb = nullptr;
    alloc_device_t *psAlloc = nullptr;
    std::vector<buffer_handle_t> ahDisplay;
    buffer_handle_t hWallpaper = nullptr;
    /* The frame on the screen came through Post2: the display still reads the video window's
       planes, until it shows another frame. */
    buffer_handle_t hShownByPost2 = nullptr;
    std::vector<Window> asWindows;
};

int Demo::Compose(int iFrame, buffer_handle_t hBack) {
    /* Every client draws its next frame in its own process at the same time. */
    for (Window &s : asWindows)
        if (DemoSendInt(s.iSocket, iFrame) != 0) return -EIO;
    for (Window &s : asWindows) {
        int iReply = -EIO;
        if (DemoReceiveInt(s.iSocket, &iReply) != 0) return -EIO;
        if (iReply != 0) return iReply;
    }
    const VEK_gralloc_module_public_t *psPublic = &psHMI->base;
    int iErr = psPublic->Blit2(psPublic, hWallpaper, hBack, (int)psFb->width, (int)psFb->height, 0, 0);
    if (iErr != 0) return iErr;
    for (Window &s : asWindows)
        if ((iErr = psPublic->Blit2(psPublic, s.hBuffer, hBack, s.w, s.h, s.x, s.y)) != 0) return iErr;
    return psFb->compositionComplete(psFb);
}

/* The display buffer's pixels as RGB, copied out by the GPU in BGRA 8888 with Blit. */
int Demo::ReadFrontBuffer(buffer_handle_t hFront, std::vector<unsigned char> *pacRGB) {
    const unsigned W = psFb->width, H = psFb->height, uiStride = (W + 31) & ~31u;
    std::vector<unsigned> auiBgra((size_t)uiStride * H);
    void *apvDest[3] = {auiBgra.data(), nullptr, nullptr};
    int iErr = psHMI->base.Blit(&psHMI->base, hFront, apvDest, HAL_PIXEL_FORMAT_BGRA_8888);
    if (iErr != 0) return iErr;
    for (unsigned y = 0; y < H; y++)
        for (unsigned x = 0; x < W; x++) {
            const unsigned v = auiBgra[(size_t)y * uiStride + x];
            unsigned char *puc = &(*pacRGB)[((size_t)y * W + x) * 3];
            puc[0] = (unsigned char)(v >> 16), puc[1] = (unsigned char)(v >> 8), puc[2] = (unsigned char)v;
        }
    return 0;
}

int Demo::Run() {
    mkdir(sOptions.sOut.c_str(), 0755);
    /* The device this compositor drives: its display and the present mode of the app hints. */
    ZOL2DDISPLAYINFO sDisplay = {1,
                                 3,
                                 sOptions.b8888 ? ZOL2D_PIXEL_FORMAT_ARGB8888 : ZOL2D_PIXEL_FORMAT_RGB565,
                                 sOptions.uiWidth,
                                 sOptions.uiHeight,
                                 (long)sOptions.uiWidth * (sOptions.b8888 ? 4 : 2),
                                 0,
                                 1};
    zolsim_set_display(0, &sDisplay, nullptr);
    zolsim_set_app_hint("HALPresentMode", (VEK_UINT32)sOptions.iPresentMode);
    zolsim_set_screen_capture(sOptions.sOut.c_str());

    if (!Check("hw_get_module(\"gralloc\")", hw_get_module(GRALLOC_HARDWARE_MODULE_ID, &psModule))) return 1;
    psHMI = reinterpret_cast<const VEK_gralloc_module_t *>(psModule);
    const gralloc_module_t *psGralloc = &psHMI->base.base;
    printf("module: %s by %s, id \"%s\", version %u.%u; this process is %sthe compositor\n", psModule->name,
           psModule->author, psModule->id, psModule->version_major, psModule->version_minor,
           psHMI->IsCompositor() ? "" : "NOT ");
    if (!psHMI->IsCompositor()) bFailed = true;

    if (!Check("framebuffer_open", framebuffer_open(psModule, &psFb))) return 1;
    if (!Check("gralloc_open", gralloc_open(psModule, &psAlloc))) {
        TearDown();
        return 1;
    }
    static const char *const apszModes[] = {"flip", "blit", "front"};
    printf(
        "display: %u x %u, format %d, stride %d pixels, %.2f x %.2f dpi, %.3f fps, swap interval %d..%d, "
        "present mode %s\n",
        psFb->width, psFb->height, psFb->format, psFb->stride, psFb->xdpi, psFb->ydpi, psFb->fps, psFb->minSwapInterval,
        psFb->maxSwapInterval, apszModes[sOptions.iPresentMode]);
    printf("formats:\n");
    for (const VEK_buffer_format_public_t *ps = psHMI->GetBufferFormats(); ps != nullptr; ps = ps->psNext)
        printf("  %-10s HAL 0x%08x  %2u bpp%s\n", ps->szName, (unsigned)ps->iHalPixelFormat, ps->uiBpp,
               ps->bGPURenderable ? "  GPU-renderable" : "");
    Check("setSwapInterval", psFb->setSwapInterval(psFb, 1));

    /* The display buffers, as Android's framebuffer window takes them: a failed one ends the list. */
    for (int i = 0; i < kNumDisplayBuffers; i++) {
        buffer_handle_t h = nullptr;
        int iStride = 0;
        if (psAlloc->alloc(psAlloc, psFb->width, psFb->height, psFb->format, GRALLOC_USAGE_HW_FB, &h, &iStride) != 0)
            break;
        ahDisplay.push_back(h);
    }
    printf("display buffers: %zu\n", ahDisplay.size());
    if (ahDisplay.empty()) {
        Check("taking a display buffer", -ENOMEM);
        TearDown();
        return 1;
    }

    int iStride = 0;
    if (!Check("wallpaper alloc",
               psAlloc->alloc(psAlloc, psFb->width, psFb->height, psFb->format,
                              GRALLOC_USAGE_SW_WRITE_OFTEN | GRALLOC_USAGE_HW_TEXTURE, &hWallpaper, &iStride)) ||
        !Check("drawing the wallpaper",
               DrawWallpaper(psGralloc, hWallpaper, (int)psFb->width, (int)psFb->height, iStride, sOptions.b8888))) {
        TearDown();
        return 1;
    }

    const int W = (int)psFb->width, H = (int)psFb->height;
    const int iWindowUsage = GRALLOC_USAGE_HW_TEXTURE | GRALLOC_USAGE_SW_WRITE_OFTEN;
    asWindows = {
        {"gradient", kDemoGradient, HAL_PIXEL_FORMAT_RGB_565, iWindowUsage, W / 20, H / 12, W * 3 / 10, H / 3},
        {"shapes", kDemoShapes, HAL_PIXEL_FORMAT_BGRA_8888, iWindowUsage, W * 2 / 5, H / 12, W / 4, H / 3},
        {"video", kDemoVideo, 0x100, GRALLOC_USAGE_HW_COMPOSER | GRALLOC_USAGE_SW_WRITE_OFTEN, W / 2, H / 2,
         (W * 2 / 5) & ~15, (H * 2 / 5) & ~15},
    };
    FILE *psLayout = fopen((sOptions.sOut + "/layout.txt").c_str(), "w");
    for (Window &s : asWindows) {
        if (!Check("window buffer alloc",
                   psAlloc->alloc(psAlloc, s.w, s.h, s.iFormat, s.iUsage, &s.hBuffer, &s.iStride))) {
            TearDown();
            return 1;
        }
        const VEK_native_handle_t *psVek = reinterpret_cast<const VEK_native_handle_t *>(s.hBuffer);
        printf("window %-8s %3d x %3d at (%3d, %3d), %s, usage 0x%08x%s\n", s.pszName, s.w, s.h, s.x, s.y,
               s.iFormat == 0x100                      ? "C110_NV12"
               : s.iFormat == HAL_PIXEL_FORMAT_RGB_565 ? "RGB_565"
                                                       : "BGRA_8888",
               (unsigned)psVek->usage, (psVek->usage & GRALLOC_USAGE_PRIVATE_1) ? " (a display-owned pair, lent)" : "");
        if (psLayout != nullptr) fprintf(psLayout, "%s %d %d %d %d %d\n", s.pszName, (int)s.eKind, s.x, s.y, s.w, s.h);
        if (!Check("starting a client", StartClient(&s))) {
            if (psLayout != nullptr) fclose(psLayout);
            TearDown();
            return 1;
        }
    }
    if (psLayout != nullptr) fclose(psLayout);

    /* The frames: compose into the back buffer, flush, post. One frame in the middle goes through
       the bypass path: post keeps the buffer and Post2 swaps it with the video window's planes. */
    const bool bFlip = sOptions.iPresentMode == 0;
    const int iBypassFrame = bFlip ? (sOptions.iFrames - 1) / 2 : -1;
    VEK_framebuffer_device_public_t *psFbPublic = reinterpret_cast<VEK_framebuffer_device_public_t *>(psFb);
    ContactSheet sSheet;
    for (int iFrame = 0; iFrame < sOptions.iFrames && !bFailed; iFrame++) {
        const double t0 = NowMs();
        buffer_handle_t hBack = ahDisplay[(size_t)iFrame % ahDisplay.size()];
        if (!Check("composing", Compose(iFrame, hBack))) break;
        const char *pszHow = apszModes[sOptions.iPresentMode];
        if (iFrame == iBypassFrame) {
            psFbPublic->bBypassPost = 1;
            Check("post (kept for Post2)", psFb->post(psFb, hBack));
            psFbPublic->bBypassPost = 0;
            buffer_handle_t ahList[2] = {nullptr, asWindows[2].hBuffer};
            Check("Post2", psFbPublic->Post2(psFb, ahList, 2, nullptr, 0));
            pszHow = "bypass + Post2";
            hShownByPost2 = hBack;
        } else {
            Check("post", psFb->post(psFb, hBack));
            hShownByPost2 = nullptr;
        }
        std::vector<unsigned char> acRGB((size_t)W * H * 3);
        if (sOptions.iPresentMode == 2) {
            /* Front mode: the one display buffer is the screen itself, and post shows nothing new;
               the frame is read out of it with Blit and saved here. */
            if (!Check("reading the front buffer", ReadFrontBuffer(hBack, &acRGB))) break;
            char szName[32];
            snprintf(szName, sizeof(szName), "/frame-%03d.png", iFrame);
            Check("saving the frame",
                  zolsim_write_png((sOptions.sOut + szName).c_str(), acRGB.data(), (unsigned)W, (unsigned)H));
        } else {
            zolsim_screen_rgb(0, acRGB.data(), acRGB.size());
        }
        sSheet.Add(acRGB, (unsigned)W, (unsigned)H);
        printf("frame %d/%d: %zu windows composed with Blit2, shown by %s (%.1f ms)\n", iFrame + 1, sOptions.iFrames,
               asWindows.size(), pszHow, NowMs() - t0);
    }
    Check("saving the contact sheet", sSheet.Save(sOptions.sOut + "/contact-sheet.png"));
    printf("frames saved in %s/ (frame-NNN.png, contact-sheet.png)\n", sOptions.sOut.c_str());

    char szDump[4096];
    psAlloc->dump(psAlloc, szDump, sizeof(szDump));
    printf("%s", szDump);

    TearDown();
    char szLive[512];
    if (zolsim_live_total(szLive, sizeof(szLive)) != 0) bFailed = true;
    printf("still live on the device: %s\n", szLive[0] != '\0' ? szLive : "nothing");
    /* Calls the real libraries would refuse fail the demo like a leak. */
    if (zolsim_misuse_count() != 0) {
        printf("calls the real libraries would refuse:\n%s", zolsim_misuse_text());
        bFailed = true;
    }
    printf("%s\n", bFailed ? "FAILED" : "done: every step succeeded");
    return bFailed ? 1 : 0;
}

/* Android's order: the clients let their buffers go first, then the compositor frees its buffers
   and closes both devices; last the module is unloaded, which gives back what it holds for the
   process (its connection, its 2D context and the video pool). */
void Demo::TearDown() {
    /* A video window still on the screen leaves it first: the last frame is shown again by flip,
       so that the display lets the video planes go before their buffer goes. */
    if (hShownByPost2 != nullptr)
        Check("post (the last frame without the video planes)", psFb->post(psFb, hShownByPost2));
    hShownByPost2 = nullptr;
    for (Window &s : asWindows) {
        if (s.iPid > 0) Check("a client letting its buffer go", StopClient(&s));
        if (s.hBuffer != nullptr) Check("window buffer free", psAlloc->free(psAlloc, s.hBuffer));
        s.hBuffer = nullptr;
    }
    if (hWallpaper != nullptr) Check("wallpaper free", psAlloc->free(psAlloc, hWallpaper));
    hWallpaper = nullptr;
    /* In front mode both display buffers are the one slot: it is given back once. */
    for (size_t i = 0; i < ahDisplay.size(); i++)
        if (i == 0 || ahDisplay[i] != ahDisplay[0]) Check("display buffer free", psAlloc->free(psAlloc, ahDisplay[i]));
    ahDisplay.clear();
    if (psAlloc != nullptr) Check("gralloc_close", gralloc_close(psAlloc));
    psAlloc = nullptr;
    if (psFb != nullptr) Check("framebuffer_close", framebuffer_close(psFb));
    psFb = nullptr;
    if (psModule != nullptr && psModule->dso != nullptr && dlclose(psModule->dso) != 0) bFailed = true;
    psModule = nullptr;
}

}  // namespace

int main(int argc, char **argv) {
    Options sOptions;
    int iParsed = ParseOptions(argc, argv, &sOptions);
    if (iParsed != 0) return iParsed == 1 ? 0 : 2;

    /* The module takes the process for the compositor by its name: run under that name. */
    std::string sName = argv[0];
    sName = sName.substr(sName.rfind('/') + 1);
    if (sName != kCompositorName) {
        std::string sPath = SelfPath();
        std::vector<std::string> asArgv = ProgramArgv(sPath, kCompositorName);
        for (int i = 1; i < argc; i++) asArgv.push_back(argv[i]);
        fflush(stdout);
        Exec(sPath, asArgv);
    }
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return Demo(sOptions).Run();
}
