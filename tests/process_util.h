/* Starting helper programs: directly on the host, through the emulator in the ARM build. */
#ifndef TESTS_PROCESS_UTIL_H
#define TESTS_PROCESS_UTIL_H

#include <sys/types.h>

#include <string>
#include <vector>

/* A helper program started and not yet waited for: its process and the read end of its standard
   output. */
struct StartedProgram {
    pid_t iPid = -1;
    int iOutput = -1;
};

/* Starts the program at sPath with argv[0] = sArgv0 and the given further arguments; false when
   it could not be started. It inherits this process's descriptors that are not close-on-exec, or
   with paiInherit only those it lists besides standard input, output and error. */
bool StartProgram(const std::string &sPath, const std::string &sArgv0, const std::vector<std::string> &asArgs,
                  StartedProgram *psProgram, const std::vector<int> *paiInherit = nullptr);

/* Reads what the started program writes to standard output until it ends, and waits for it;
   returns its exit status (or -1). */
int FinishProgram(StartedProgram *psProgram, std::string *psOutput);

/* Both in one: runs the program and returns its exit status (or -1) and its standard output. */
int RunProgram(const std::string &sPath, const std::string &sArgv0, const std::vector<std::string> &asArgs,
               std::string *psOutput);

/* The directory of the test programs (where the helpers are built). */
std::string TestBinaryDir();

/* Descriptors open in this process, as /proc/self/fd lists them. */
unsigned OpenDescriptorCount();

#endif
