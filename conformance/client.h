/* Client processes: a process of its own, started from this program under another name (so that
   the module does not take it for the compositor), that receives buffer handles over a Unix
   socket as Android's GraphicBuffer sends them and uses them as an application would. The client
   runs its checks itself and sends their results back over the socket; the group passes them on. */
#ifndef CONFORMANCE_CLIENT_H
#define CONFORMANCE_CLIENT_H

#include <sys/types.h>

#include <string>

#include "module.h"

namespace conformance {

constexpr const char *kClientName = "gralloc_client";

enum ClientOp {
    /* Registers, reads the allocator's pattern (seed arg 0), writes its own (seed arg 1), maps the
       buffer by its stamp when its usage keeps it mapped (arg 2 non-zero), unregisters. */
    kOpExchange = 1,
    /* Registers and keeps the buffer, after reading its pattern (seed arg 0). */
    kOpHold,
    /* Reads the kept buffer's pattern again (seed arg 0), then unregisters and lets it go. */
    kOpReadHeld,
    /* The rules of nested locks and of unregistering a locked buffer. */
    kOpLockRules,
    /* Forged copies of the handle, as a hostile process would make them; none may register. */
    kOpForgeries,
    /* arg 0 cycles of register, lock, unlock and unregister, leaving the process as it was;
       with arg 1 non-zero, the median of a register and unregister is reported too. */
    kOpCycles,
    kOpQuit,
};

/* The group's side of one client process. */
class Client {
public:
    Client() = default;
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    /* Starts the client (a check of its own); false when it did not start. */
    bool Start(const Options &sOptions);
    /* Runs one operation in the client on the buffer h (whose rows are iStride pixels long),
       passing the client's results on; returns the client's answer, or -EPIPE when it is gone. */
    int Call(int iOp, const std::string &sName, buffer_handle_t h, int iStride, int iArg0 = 0, int iArg1 = 0,
             int iArg2 = 0);
    bool Running() const { return iSocket >= 0; }

private:
    void Lost(const std::string &sOpenCheck);

    int iSocket = -1;
    pid_t iPid = -1;
};

/* The client process's own main: answers the group's requests on iSocket until it quits. */
int RunClient(int iSocket, const std::string &sGroup);
/* Replaces this process with this program under the name sName and the arguments given; through
   the emulator that CTest names in ZOLSIM_EMULATOR when the program is a cross build that cannot
   exec itself. Returns only when the exec failed, with -errno. */
int ExecProgram(const std::string &sPath, const std::string &sName, const std::vector<std::string> &asArgs);

}  // namespace conformance

#endif
