/* A model of one process's view of its buffers: registration, lock and map counts, the mapping of
   each plane, the release queued for each buffer and the GPU work on each plane. Commands change
   the model as the module must change its state, and run the same step against the real module. */
#ifndef TESTS_MODEL_TEST_H
#define TESTS_MODEL_TEST_H

#include <rapidcheck.h>
#include <rapidcheck/state.h>

#include <memory>
#include <ostream>
#include <vector>

#include "foreign_buffer.h"
#include "module_fixture.h"

namespace model {

/* Allocated here; registered from another process with mapping usage, or mapped only while
   locked (composer usage); a display buffer. */
enum class Kind { Own, ForeignMapped, ForeignLocked, Display };
enum class Pend { None, Unmap, UnmapRemove, Free };
void showValue(Kind eKind, std::ostream &os);

struct Buf {
    Kind kind = Kind::Own;
    int planes = 1;
    bool allocated = false; /* own: alloc answered 0; display: its slot is taken */
    bool freed = false;     /* own: free answered 0 and deleted the handle */
    bool memory = false;    /* own: its memory is still allocated */
    bool present = false;   /* the process's list has an entry */
    bool registered = false;
    Pend pend = Pend::None;
    int mapped = 0; /* foreign: leading planes mapped in this process */
    unsigned count = 0;
    int lockUsage = 0;
    bool reads[2] = {false, false}, writes[2] = {false, false};
    bool scanned = false; /* the display reads the planes it was shown with, until its next frame */
};

struct Model {
    std::vector<Buf> bufs;
    std::vector<int> queue;               /* buffers with a queued release, newest first */
    int mapFailsIn = 0, unmapFailsIn = 0; /* the nth call from now fails; 0: none */
};

Model Initial(const std::vector<std::pair<Kind, int>> &asKinds);

constexpr int kSwRead = GRALLOC_USAGE_SW_READ_OFTEN, kSwWrite = GRALLOC_USAGE_SW_WRITE_OFTEN;
constexpr int kTexture = GRALLOC_USAGE_HW_TEXTURE, kRender = GRALLOC_USAGE_HW_RENDER;
constexpr int kComposer = GRALLOC_USAGE_HW_COMPOSER;

inline bool Foreign(const Buf &s) { return s.kind == Kind::ForeignMapped || s.kind == Kind::ForeignLocked; }
/* Planes the entry holds mapped: a buffer of this process holds them all. */
inline int Slots(const Buf &s) { return Foreign(s) ? s.mapped : s.planes; }
/* The byte each plane starts with, so that an address handed out can be read back. */
inline unsigned char Pattern(int b, int iPlane) { return (unsigned char)(0xa0 + 2 * b + iPlane); }

/* The real module and the buffers of one sequence. */
struct Sut {
    Sut(VEK_gralloc_module_t *psHMI, alloc_device_t *psAlloc, framebuffer_device_t *&psFb, const Model &sModel);
    ~Sut();
    Sut(const Sut &) = delete;
    Sut &operator=(const Sut &) = delete;

    buffer_handle_t Handle(int b) const;
    ZOLSRV_CLIENT_MEM_INFO *Memory(int b, int iPlane) const;
    VEK_mapper_meminfo_t *Entry(int b) const; /* under the module mutex */
    void Settle();                            /* lets the worker run what it may */
    void Check(const Model &sModel);          /* the module agrees with the model */
    /* Releases everything, and opens the display anew so that it shows none of the buffers: true
       when each step succeeded and nothing stays. */
    bool Release();

    VEK_gralloc_module_t *psHMI;
    const gralloc_module_t *psGralloc;
    alloc_device_t *psAlloc;
    framebuffer_device_t *&psFb; /* the test's, which Release opens anew */
    std::unique_ptr<ForeignAllocator> psForeign;
    std::vector<Kind> aeKinds;
    std::vector<int> aiPlanes;
    std::vector<buffer_handle_t> ahHandles; /* own: the handle until freed */
    std::vector<bool> abTaken;              /* display: its slot is taken */
    std::vector<native_handle_t *> apsCopies;
    std::vector<VEK_UINT64> aui64Stamps;
    std::vector<std::vector<size_t>> aauPlanes; /* foreign: index of each plane's allocation */
    /* What the module handed out while the buffer is in use: CPU addresses, mem-infos. */
    std::vector<std::vector<std::vector<void *>>> aaavAddrs;
    std::vector<std::vector<std::vector<ZOLSRV_CLIENT_MEM_INFO *>>> aaapsMaps;
    unsigned uiBaseAllocations = 0;
    bool bReleased = false;
};

using Command = rc::state::Command<Model, Sut>;
using Commands = rc::state::Commands<Command>;

/* Commands run against the module since the process started; of them, those the module had to
   refuse or fail, and those after which a release waited for the GPU. */
extern size_t guCommandsRun, guRefusalsRun, guReleasesQueued;

/* The named commands, for sequences written out by hand. */
std::shared_ptr<const Command> Alloc(int b);
std::shared_ptr<const Command> Free(int b);
std::shared_ptr<const Command> Register(int b);
std::shared_ptr<const Command> Unregister(int b);
std::shared_ptr<const Command> Lock(int b, int usage);
std::shared_ptr<const Command> Unlock(int b);
std::shared_ptr<const Command> Map(int b, int usage);
std::shared_ptr<const Command> Unmap(int b);
std::shared_ptr<const Command> GpuBegin(int b, int iPlane, bool bWrite);
std::shared_ptr<const Command> GpuComplete(int b, int iPlane);
std::shared_ptr<const Command> FailNext(bool bUnmap, int iNth);
std::shared_ptr<const Command> Post2(int b);
std::shared_ptr<const Command> WorkerRun();

/* Any command valid in the model. */
rc::Gen<std::shared_ptr<const Command>> AnyCommand(const Model &sModel);

}  // namespace model

#endif
