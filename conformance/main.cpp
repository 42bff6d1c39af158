/* gralloc_conformance: what an integrator runs on the device after binding the module to the
   vendor's libraries. It loads the installed module through hw_get_module as any Android process
   does and checks, through the module record, its devices and its extension slots only, what the
   module promises: allocation, access from other processes, GPU blits, the display, bad input,
   leaks; and it times the common operations for the integrator's records.

   Each group runs in a process of its own, forked from this one, which loads the module afresh;
   a group that crashes or hangs fails the check it was in, and the next group runs. */
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client.h"
#include "groups.h"

namespace conformance {
namespace {

struct Group {
    const char *pszName;
    const char *pszAbout;
    void (*pfnRun)(const Options &);
};

const Group kGroups[] = {
    {"alloc", "every listed format with every usage class, strides, handles, zero-fill, free, edge sizes",
     RunAllocGroup},
    {"process",
     "handles sent to a client process, registered, locked, written and read back; map by stamp; "
     "physical addresses of lent video buffers",
     RunProcessGroup},
    {"gpu", "Blit and Blit2 between every pair of formats, pixel by pixel", RunGpuGroup},
    {"display", "fb0: the display, its buffers, posting, swap intervals, Post2, compositionComplete", RunDisplayGroup},
    {"bad_input", "NULL and forged handles, impossible sizes, unknown formats, misuse of locks and maps",
     RunBadInputGroup},
    {"leaks", "alloc/lock/free and register/unregister cycles leave the process as it was", RunLeakGroup},
    {"timing", "medians of alloc/free, lock/unlock, register/unregister, Blit2 and post", RunTimingGroup},
};

constexpr const char *kCompositorName = "surfaceflinger";

void Usage(FILE *ps) {
    fprintf(ps,
            "usage: gralloc_conformance [--groups LIST] [--display] [--junit FILE] [--as NAME]\n"
            "                           [--cycles N] [--frames N] [--present-mode flip|blit|front] [--timeout S]\n"
            "  --groups LIST   groups to run, comma-separated (default: all; see --list)\n"
            "  --display       let the display group take the screen (stop the compositor first)\n"
            "  --junit FILE    also write the results as JUnit XML\n"
            "  --as NAME       the program name the module sees (default %s, the compositor's)\n"
            "  --cycles N      cycles of each leak check (default 2048)\n"
            "  --frames N      posts of each timed run of the display (default 60)\n"
            "  --present-mode  the present mode the device is configured for; by default the program\n"
            "                  finds it out from the module's answers\n"
            "  --timeout S     seconds a group may take before it counts as hung (default 300)\n"
            "  --list          list the groups\n",
            kCompositorName);
}

std::string SelfPath() {
    char sz[4096];
    ssize_t n = readlink("/proc/self/exe", sz, sizeof(sz) - 1);
    if (n <= 0) return "";
    sz[n] = '\0';
    return sz;
}

bool ParseCount(const char *psz, int iMin, int *pi) {
    char *pszEnd = nullptr;
    long l = strtol(psz, &pszEnd, 10);
    if (*psz == '\0' || *pszEnd != '\0' || l < iMin || l > 1000000) return false;
    *pi = (int)l;
    return true;
}

/* Runs one group in a process of its own and collects its results. */
void RunGroup(const Group &sGroup, const Options &sOptions, int iTimeout, std::vector<Result> *pasResults) {
    printf("[----------] %s: %s\n", sGroup.pszName, sGroup.pszAbout);
    fflush(stdout);
    if (strcmp(sGroup.pszName, "display") == 0 && !sOptions.bDisplay) {
        AddResult(pasResults, Outcome::kSkip, "display.group",
                  "the display group takes the screen: run it with --display, the compositor stopped");
        return;
    }
    int aiPipe[2];
    if (pipe(aiPipe) != 0) {
        AddResult(pasResults, Outcome::kFail, std::string(sGroup.pszName) + ".process",
                  "pipe: " + std::string(strerror(errno)));
        return;
    }
    fcntl(aiPipe[0], F_SETFD, FD_CLOEXEC);
    fcntl(aiPipe[1], F_SETFD, FD_CLOEXEC);
    pid_t iPid = fork();
    if (iPid == 0) {
        close(aiPipe[0]);
        SetResultSink(aiPipe[1]);
        SetGroupName(sGroup.pszName);
        alarm((unsigned)iTimeout);
        sGroup.pfnRun(sOptions);
        exit(0);
    }
    close(aiPipe[1]);
    if (iPid < 0) {
        close(aiPipe[0]);
        AddResult(pasResults, Outcome::kFail, std::string(sGroup.pszName) + ".process",
                  "fork: " + std::string(strerror(errno)));
        return;
    }
    std::string sOpen = CollectRecords(aiPipe[0], pasResults);
    close(aiPipe[0]);
    int iStatus = 0;
    waitpid(iPid, &iStatus, 0);
    if (WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0 && sOpen.empty()) return;
    std::string sHow = WIFSIGNALED(iStatus) && WTERMSIG(iStatus) == SIGALRM
                           ? Format("the group did not end within %d s (hung?)", iTimeout)
                       : WIFSIGNALED(iStatus) ? Format("the process crashed with signal %d (%s)", WTERMSIG(iStatus),
                                                       strsignal(WTERMSIG(iStatus)))
                                              : Format("the process exited with status %d", WEXITSTATUS(iStatus));
    AddResult(pasResults, Outcome::kFail, sOpen.empty() ? std::string(sGroup.pszName) + ".process" : sOpen,
              sHow + (sOpen.empty() ? " between checks" : " during this check"));
}

int Main(int argc, char **argv) {
    static const struct option asLong[] = {{"groups", required_argument, nullptr, 'g'},
                                           {"display", no_argument, nullptr, 'd'},
                                           {"junit", required_argument, nullptr, 'j'},
                                           {"as", required_argument, nullptr, 'a'},
                                           {"cycles", required_argument, nullptr, 'c'},
                                           {"frames", required_argument, nullptr, 'f'},
                                           {"present-mode", required_argument, nullptr, 'p'},
                                           {"timeout", required_argument, nullptr, 't'},
                                           {"list", no_argument, nullptr, 'l'},
                                           {"help", no_argument, nullptr, 'h'},
                                           {nullptr, 0, nullptr, 0}};
    Options sOptions;
    std::string sGroups, sJUnit, sAs = kCompositorName;
    int iTimeout = 300;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "", asLong, nullptr)) != -1;) {
        switch (c) {
            case 'g':
                sGroups = optarg;
                break;
            case 'd':
                sOptions.bDisplay = true;
                break;
            case 'j':
                sJUnit = optarg;
                break;
            case 'a':
                sAs = optarg;
                break;
            case 'c':
                if (!ParseCount(optarg, 1, &sOptions.iCycles)) {
                    fprintf(stderr, "gralloc_conformance: --cycles wants a number, not \"%s\"\n", optarg);
                    return 2;
                }
                break;
            case 'f':
                if (!ParseCount(optarg, 2, &sOptions.iFrames)) {
                    fprintf(stderr, "gralloc_conformance: --frames wants a number from 2, not \"%s\"\n", optarg);
                    return 2;
                }
                break;
            case 'p':
                sOptions.sPresentMode = optarg;
                if (sOptions.sPresentMode != "flip" && sOptions.sPresentMode != "blit" &&
                    sOptions.sPresentMode != "front") {
                    fprintf(stderr, "gralloc_conformance: --present-mode is flip, blit or front, not \"%s\"\n", optarg);
                    return 2;
                }
                break;
            case 't':
                if (!ParseCount(optarg, 1, &iTimeout)) {
                    fprintf(stderr, "gralloc_conformance: --timeout wants seconds, not \"%s\"\n", optarg);
                    return 2;
                }
                break;
            case 'l':
                for (const Group &s : kGroups) printf("%-10s %s\n", s.pszName, s.pszAbout);
                return 0;
            case 'h':
                Usage(stdout);
                return 0;
            default:
                fprintf(stderr, "gralloc_conformance: unknown or incomplete option \"%s\"\n", argv[optind - 1]);
                Usage(stderr);
                return 2;
        }
    }
    if (optind < argc || sAs.empty() || sAs.find('/') != std::string::npos) {
        fprintf(stderr, "gralloc_conformance: unexpected argument \"%s\"\n",
                optind < argc ? argv[optind] : sAs.c_str());
        return 2;
    }
    std::vector<const Group *> apsSelected;
    for (size_t uStart = 0; !sGroups.empty() && uStart <= sGroups.size();) {
        size_t uEnd = sGroups.find(',', uStart);
        std::string sName = sGroups.substr(uStart, uEnd == std::string::npos ? std::string::npos : uEnd - uStart);
        const Group *ps = nullptr;
        for (const Group &s : kGroups)
            if (sName == s.pszName) ps = &s;
        if (ps == nullptr) {
            fprintf(stderr, "gralloc_conformance: no group \"%s\" (see --list)\n", sName.c_str());
            return 2;
        }
        apsSelected.push_back(ps);
        if (uEnd == std::string::npos) break;
        uStart = uEnd + 1;
    }
    if (sGroups.empty())
        for (const Group &s : kGroups) apsSelected.push_back(&s);

    /* The module knows the compositor by the program's name: run under the one asked for. */
    sOptions.sProgram = SelfPath();
    const char *pszSlash = strrchr(argv[0], '/');
    std::string sName = pszSlash != nullptr ? pszSlash + 1 : argv[0];
    if (sName != sAs) {
        fflush(stdout);
        int iErr = ExecProgram(sOptions.sProgram, sAs, std::vector<std::string>(argv + 1, argv + argc));
        printf("note: cannot run as %s (%s); running as %s\n", sAs.c_str(), strerror(-iErr), sName.c_str());
    }
    sOptions.bCompositor = sName == kCompositorName || strcmp(argv[0], "system_server") == 0;

    signal(SIGPIPE, SIG_IGN);
    printf("[==========] gralloc_conformance as %s (pid %d): %zu groups\n", sName.c_str(), (int)getpid(),
           apsSelected.size());
    const double t0 = NowSeconds();
    std::vector<Result> asResults;
    for (const Group *ps : apsSelected) RunGroup(*ps, sOptions, iTimeout, &asResults);
    const double dSeconds = NowSeconds() - t0;
    const int iFailed = PrintSummary(asResults, dSeconds);
    if (!sJUnit.empty()) {
        int iErr = WriteJUnit(sJUnit, asResults, dSeconds);
        if (iErr != 0) {
            fprintf(stderr, "gralloc_conformance: cannot write %s: %s\n", sJUnit.c_str(), strerror(-iErr));
            return 1;
        }
    }
    return iFailed == 0 ? 0 : 1;
}

}  // namespace
}  // namespace conformance

int main(int argc, char **argv) {
    /* A client process of a group: started by the program itself with its socket. */
    if (argc == 4 && strcmp(argv[1], "--client") == 0) return conformance::RunClient(atoi(argv[2]), argv[3]);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return conformance::Main(argc, argv);
}
