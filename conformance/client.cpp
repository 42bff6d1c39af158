#include "client.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "client_checks.h"
#include "handle_transport.h"

namespace conformance {
namespace {

/* One request of the group; a buffer handle follows in a message of its own when bHandle is set. */
struct Request {
    int iOp;
    int aiArg[3];
    int iStride;
    int bHandle;
    char szName[120];
};

}  // namespace

int ExecProgram(const std::string &sPath, const std::string &sName, const std::vector<std::string> &asArgs) {
    std::vector<std::string> asArgv;
    const char *pszEmulator = getenv("ZOLSIM_EMULATOR");
    const bool bEmulated = pszEmulator != nullptr && *pszEmulator != '\0';
    if (bEmulated) {
        std::istringstream sIn(pszEmulator);
        for (std::string sWord; sIn >> sWord;) asArgv.push_back(sWord);
        asArgv.insert(asArgv.end(), {"-0", sName, sPath});
    } else {
        asArgv.push_back(sName);
    }
    asArgv.insert(asArgv.end(), asArgs.begin(), asArgs.end());
    std::vector<char *> apsz;
    for (std::string &s : asArgv) apsz.push_back(&s[0]);
    apsz.push_back(nullptr);
    if (bEmulated)
        execvp(apsz[0], apsz.data());
    else
        execv(sPath.c_str(), apsz.data());
    return -errno;
}

bool Client::Start(const Options &sOptions) {
    Check c("client_starts");
    int aiSockets[2];
    if (!c.Expect(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, aiSockets) == 0, "socketpair: %s",
                  strerror(errno)))
        return false;
    pid_t iChild = fork();
    if (iChild == 0) {
        /* A client outlives no group: one that hangs goes with the group its hang ends. */
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        /* The client's end survives the exec; nothing else of the group does. */
        int iFd = dup(aiSockets[1]);
        int iErr = ExecProgram(sOptions.sProgram, kClientName, {"--client", std::to_string(iFd), GroupName()});
        fprintf(stderr, "gralloc_conformance: cannot start %s as %s: %s\n", sOptions.sProgram.c_str(), kClientName,
                strerror(-iErr));
        _exit(127);
    }
    close(aiSockets[1]);
    if (!c.Expect(iChild > 0, "fork: %s", strerror(errno))) {
        close(aiSockets[0]);
        return false;
    }
    iSocket = aiSockets[0];
    iPid = iChild;
    /* The client loads the module and reports what it is; it answers 0 when that went well. */
    int iAnswer = Call(0, "", nullptr, 0);
    if (!c.Expect(iAnswer == 0,
                  "the client answered %d to its start (a cross build run by hand needs "
                  "ZOLSIM_EMULATOR to start it)",
                  iAnswer))
        return false;
    c.Note("pid %d, named %s", (int)iPid, kClientName);
    return true;
}

void Client::Lost(const std::string &sOpenCheck) {
    int iStatus = 0;
    close(iSocket);
    iSocket = -1;
    std::string sHow = "closed its socket";
    if (iPid > 0 && waitpid(iPid, &iStatus, 0) == iPid) {
        if (WIFSIGNALED(iStatus))
            sHow = Format("was killed by signal %d (%s)", WTERMSIG(iStatus), strsignal(WTERMSIG(iStatus)));
        else if (WIFEXITED(iStatus))
            sHow = Format("exited with status %d", WEXITSTATUS(iStatus));
    }
    iPid = -1;
    ReportResult(Outcome::kFail, sOpenCheck, 0, "the client process " + sHow + " during this check");
}

int Client::Call(int iOp, const std::string &sName, buffer_handle_t h, int iStride, int iArg0, int iArg1, int iArg2) {
    if (iSocket < 0) return -EPIPE;
    Request sRequest;
    memset(&sRequest, 0, sizeof(sRequest));
    sRequest.iOp = iOp;
    sRequest.aiArg[0] = iArg0, sRequest.aiArg[1] = iArg1, sRequest.aiArg[2] = iArg2;
    sRequest.iStride = iStride;
    sRequest.bHandle = h != nullptr;
    snprintf(sRequest.szName, sizeof(sRequest.szName), "%s", sName.c_str());
    std::string sOpen = GroupName() + ".client." + (sName.empty() ? std::string("start") : sName);
    bool bSent = send(iSocket, &sRequest, sizeof(sRequest), MSG_NOSIGNAL) == (ssize_t)sizeof(sRequest);
    if (bSent && h != nullptr) {
        BufferDescription sDescription = {Vek(h)->iWidth, Vek(h)->iHeight, iStride, Vek(h)->iFormat, Vek(h)->usage};
        bSent = SendBufferHandle(iSocket, h, sDescription) == 0;
    }
    if (!bSent) {
        Lost(sOpen);
        return -EPIPE;
    }
    /* The client's records until its answer: a check begun, a check's result, the end. */
    char ac[4096];
    for (;;) {
        ssize_t n = recv(iSocket, ac, sizeof(ac) - 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            Lost(sOpen);
            return -EPIPE;
        }
        ac[n] = '\0';
        if (ac[0] == 'E') return atoi(ac + 2);
        ForwardRecord(ac);
        if (ac[0] == 'B') sOpen = std::string(ac + 2, strcspn(ac + 2, "\n"));
    }
}

Client::~Client() {
    if (iSocket < 0) return;
    Request sRequest;
    memset(&sRequest, 0, sizeof(sRequest));
    sRequest.iOp = kOpQuit;
    send(iSocket, &sRequest, sizeof(sRequest), MSG_NOSIGNAL);
    close(iSocket);
    int iStatus = 0;
    if (waitpid(iPid, &iStatus, 0) == iPid && !(WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0))
        ReportResult(Outcome::kFail, "client.exits", 0,
                     WIFSIGNALED(iStatus) ? Format("the client was killed by signal %d at its end", WTERMSIG(iStatus))
                                          : Format("the client exited with status %d", WEXITSTATUS(iStatus)));
}

/* ---- The client's side ---- */

static void Answer(int iSocket, int iValue) {
    std::string s = Format("E %d\n", iValue);
    send(iSocket, s.data(), s.size(), MSG_NOSIGNAL);
}

int RunClient(int iSocket, const std::string &sGroup) {
    signal(SIGPIPE, SIG_IGN);
    SetResultSink(iSocket);
    SetGroupName(sGroup.empty() ? "client" : sGroup + ".client");
    ClientState sState;
    for (;;) {
        Request sRequest;
        ssize_t n = recv(iSocket, &sRequest, sizeof(sRequest), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n != (ssize_t)sizeof(sRequest) || sRequest.iOp == kOpQuit) break;
        sRequest.szName[sizeof(sRequest.szName) - 1] = '\0';
        if (sRequest.iOp == 0) {
            Answer(iSocket, StartClientState(&sState) ? 0 : 1);
            continue;
        }
        native_handle_t *psHandle = nullptr;
        BufferDescription sDescription = {0, 0, 0, 0, 0};
        if (sRequest.bHandle && (psHandle = ReceiveBufferHandle(iSocket, &sDescription)) == nullptr) {
            ReportResult(Outcome::kFail, sGroup + ".client." + sRequest.szName, 0,
                         "the handle did not arrive as Android sends one (descriptors and ints)");
            Answer(iSocket, -EPROTO);
            continue;
        }
        Answer(iSocket, RunClientOp(&sState, sRequest.iOp, sRequest.szName, sRequest.aiArg, psHandle, sDescription));
    }
    StopClientState(&sState);
    return 0;
}

}  // namespace conformance
