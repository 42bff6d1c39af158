/* Starting helper programs: directly on the host, through the emulator in the ARM build. */
#ifndef TESTS_PROCESS_UTIL_H
#define TESTS_PROCESS_UTIL_H

#include <string>
#include <vector>

/* Runs the program at pszPath with argv[0] = pszArgv0 and the given further arguments; returns
   its exit status (or -1) and what it wrote to standard output. */
int RunProgram(const std::string &sPath, const std::string &sArgv0, const std::vector<std::string> &asArgs,
               std::string *psOutput);

/* The directory of the test programs (where the helpers are built). */
std::string TestBinaryDir();

/* Descriptors open in this process, as /proc/self/fd lists them. */
unsigned OpenDescriptorCount();

#endif
