/* The conformance program's own check harness. A check is a named expectation with one outcome:
   passed (with what was seen, when worth printing), failed (with the values seen) or skipped
   (with the reason). Checks run in the process of their group, or in a client process the group
   started; each process writes its results as lines to one descriptor, and the runner, the
   program's first process, prints them, counts them and writes the JUnit file. A process that
   dies in the middle of a check leaves that check's name behind, so the runner can fail it. */
#ifndef CONFORMANCE_HARNESS_H
#define CONFORMANCE_HARNESS_H

#include <stddef.h>

#include <string>
#include <vector>

namespace conformance {

enum class Outcome { kPass, kFail, kSkip };

/* Where this process's results go: the pipe to the runner, or a client's socket to its group. */
void SetResultSink(int iFd);
/* The group whose checks this process runs; it prefixes every check's name. */
void SetGroupName(const std::string &sGroup);
const std::string &GroupName();
/* A record another process made, passed on unchanged (a client's results, through its group). */
void ForwardRecord(const std::string &sRecord);
/* Reports a finished check directly, for outcomes known without running one (a client that
   ended in the middle of a check). sName is the full name, group included. */
void ReportResult(Outcome eOutcome, const std::string &sName, double dSeconds, const std::string &sDetail);

std::string Format(const char *pszFormat, ...) __attribute__((format(printf, 1, 2)));
/* "-22 (EINVAL)". */
std::string ErrName(int iErr);

/* One check. The constructor announces it; the destructor reports its outcome. */
class Check {
public:
    explicit Check(const std::string &sName);
    ~Check();
    Check(const Check &) = delete;
    Check &operator=(const Check &) = delete;

    /* Records a failure when bOk is false: the first message is the one printed, the others are
       counted. Returns bOk, so that a check can stop at a failure it cannot go past. */
    bool Expect(bool bOk, const char *pszFormat, ...) __attribute__((format(printf, 3, 4)));
    /* What answered iGot where iWant was expected; the message names both codes. */
    bool ExpectErr(int iWant, int iGot, const char *pszWhat, ...) __attribute__((format(printf, 4, 5)));
    /* Skipped, with the reason; failures recorded before still fail the check. */
    void Skip(const char *pszFormat, ...) __attribute__((format(printf, 2, 3)));
    /* What a passing check prints after its name. */
    void Note(const char *pszFormat, ...) __attribute__((format(printf, 2, 3)));
    bool Failed() const { return iFailures != 0; }

private:
    std::string sName, sFailure, sNote, sSkip;
    int iFailures = 0;
    double dStart;
};

/* The median of a set of durations, with its extremes, as printed by the timing checks. */
struct Timing {
    double dMedian = 0, dMin = 0, dMax = 0;
    size_t uRuns = 0;
};
Timing Summarise(std::vector<double> adSeconds);
/* "34.2 us (min 30.1 us, max 80.0 us, 200 runs)". */
std::string Describe(const Timing &s);
double NowSeconds();

/* ---- The runner's side ---- */

struct Result {
    std::string sGroup, sName, sDetail;
    Outcome eOutcome;
    double dSeconds;
};

/* Reads the records a group's process writes to iFd until it closes, prints each result as it
   arrives and appends it to pasResults. Returns the full name of the check that was begun and not
   finished (empty when none was), for a process that died. */
std::string CollectRecords(int iFd, std::vector<Result> *pasResults);
/* Prints and records a result the runner itself decided. */
void AddResult(std::vector<Result> *pasResults, Outcome eOutcome, const std::string &sName, const std::string &sDetail);
/* The summary lines; returns the number of failures. */
int PrintSummary(const std::vector<Result> &asResults, double dSeconds);
/* JUnit XML for CI: one test suite per group. 0, or -errno when the file cannot be written. */
int WriteJUnit(const std::string &sPath, const std::vector<Result> &asResults, double dSeconds);

}  // namespace conformance

#endif
