#include "process_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <linux/close_range.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

/* Set by CTest in the ARM build: an ARM program is started through qemu-user, which shows the
   name given with -0 as the program's argv[0]. */
static std::vector<std::string> EmulatorWords() {
    std::vector<std::string> asWords;
    const char *pszEmulator = getenv("ZOLSIM_EMULATOR");
    if (pszEmulator == nullptr) return asWords;
    std::istringstream sIn(pszEmulator);
    for (std::string sWord; sIn >> sWord;) asWords.push_back(sWord);
    return asWords;
}

std::string TestBinaryDir() {
    char szPath[4096];
    ssize_t iLen = readlink("/proc/self/exe", szPath, sizeof(szPath) - 1);
    /* Under qemu-user /proc/self/exe is the program itself, not the emulator. */
    if (iLen <= 0) return ".";
    szPath[iLen] = '\0';
    std::string sPath(szPath);
    return sPath.substr(0, sPath.rfind('/'));
}

/* In a forked child: every descriptor above standard error closes at the exec but those listed.
   Only system calls: another thread of the parent may have held the allocator's lock. */
static void InheritOnly(const std::vector<int> &aiInherit) {
    if (syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC) != 0) {
        struct rlimit sLimit;
        const rlim_t uMax = getrlimit(RLIMIT_NOFILE, &sLimit) == 0 && sLimit.rlim_cur < 65536 ? sLimit.rlim_cur : 65536;
        for (int iFd = 3; iFd < (int)uMax; iFd++) fcntl(iFd, F_SETFD, FD_CLOEXEC);
    }
    for (int iFd : aiInherit) fcntl(iFd, F_SETFD, 0);
}

bool StartProgram(const std::string &sPath, const std::string &sArgv0, const std::vector<std::string> &asArgs,
                  StartedProgram *psProgram, const std::vector<int> *paiInherit) {
    std::vector<std::string> asArgv;
    std::vector<std::string> asEmulator = EmulatorWords();
    std::string sExec = sPath;
    if (!asEmulator.empty()) {
        sExec = asEmulator[0];
        asArgv = asEmulator;
        asArgv.push_back("-0");
        asArgv.push_back(sArgv0);
        asArgv.push_back(sPath);
    } else {
        asArgv.push_back(sArgv0);
    }
    asArgv.insert(asArgv.end(), asArgs.begin(), asArgs.end());

    /* Made before the fork: the child only makes system calls until the exec. */
    std::vector<char *> apszArgv;
    for (std::string &s : asArgv) apszArgv.push_back(&s[0]);
    apszArgv.push_back(nullptr);

    int aiPipe[2];
    if (pipe(aiPipe) != 0) return false;
    pid_t iPid = fork();
    if (iPid < 0) {
        close(aiPipe[0]);
        close(aiPipe[1]);
        return false;
    }
    if (iPid == 0) {
        dup2(aiPipe[1], STDOUT_FILENO);
        close(aiPipe[0]);
        close(aiPipe[1]);
        if (paiInherit != nullptr) InheritOnly(*paiInherit);
        if (asEmulator.empty())
            execv(sExec.c_str(), apszArgv.data());
        else
            execvp(sExec.c_str(), apszArgv.data());
        _exit(127);
    }
    close(aiPipe[1]);
    psProgram->iPid = iPid;
    psProgram->iOutput = aiPipe[0];
    return true;
}

int FinishProgram(StartedProgram *psProgram, std::string *psOutput) {
    std::string sOutput;
    char acBuf[256];
    for (ssize_t n; (n = read(psProgram->iOutput, acBuf, sizeof(acBuf))) > 0;) sOutput.append(acBuf, (size_t)n);
    close(psProgram->iOutput);
    psProgram->iOutput = -1;
    int iStatus = 0;
    const pid_t iPid = psProgram->iPid;
    psProgram->iPid = -1;
    if (psOutput != nullptr) *psOutput = sOutput;
    if (waitpid(iPid, &iStatus, 0) != iPid || !WIFEXITED(iStatus)) return -1;
    return WEXITSTATUS(iStatus);
}

int RunProgram(const std::string &sPath, const std::string &sArgv0, const std::vector<std::string> &asArgs,
               std::string *psOutput) {
    StartedProgram sProgram;
    if (!StartProgram(sPath, sArgv0, asArgs, &sProgram)) return -1;
    return FinishProgram(&sProgram, psOutput);
}

unsigned OpenDescriptorCount() {
    unsigned n = 0;
    if (DIR *psDir = opendir("/proc/self/fd")) {
        while (readdir(psDir) != nullptr) n++;
        closedir(psDir);
    }
    return n;
}
