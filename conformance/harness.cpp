#include "harness.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>

namespace conformance {
namespace {

int giSink = STDOUT_FILENO;
std::string gsGroup;

/* A record is one line of tab-separated fields; the fields themselves hold neither tabs nor line
   ends, and a long detail is cut, so that each record stays one atomic write to a pipe. */
constexpr size_t kMaxDetail = 1500;

std::string Clean(const std::string &s, size_t uMax) {
    std::string sOut = s.substr(0, uMax);
    for (char &c : sOut)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    if (s.size() > uMax) sOut += "...";
    return sOut;
}

void WriteRecord(const std::string &sRecord) {
    const char *p = sRecord.data();
    size_t uLeft = sRecord.size();
    while (uLeft > 0) {
        ssize_t n = write(giSink, p, uLeft);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return; /* the reader has gone: nobody is left to tell */
        p += n;
        uLeft -= (size_t)n;
    }
}

char OutcomeLetter(Outcome e) { return e == Outcome::kPass ? 'p' : e == Outcome::kFail ? 'f' : 's'; }

std::string VFormat(const char *pszFormat, va_list ap) {
    char sz[2048];
    vsnprintf(sz, sizeof(sz), pszFormat, ap);
    return sz;
}

const char *Label(Outcome e) {
    return e == Outcome::kPass ? "[       OK ]" : e == Outcome::kFail ? "[  FAILED  ]" : "[  SKIPPED ]";
}

void PrintResult(const Result &s) {
    if (s.eOutcome == Outcome::kPass)
        printf("%s %s.%s%s%s%s\n", Label(s.eOutcome), s.sGroup.c_str(), s.sName.c_str(), s.sDetail.empty() ? "" : " (",
               s.sDetail.c_str(), s.sDetail.empty() ? "" : ")");
    else
        printf("%s %s.%s: %s\n", Label(s.eOutcome), s.sGroup.c_str(), s.sName.c_str(), s.sDetail.c_str());
    fflush(stdout);
}

Result MakeResult(Outcome eOutcome, const std::string &sFullName, double dSeconds, const std::string &sDetail) {
    Result s;
    size_t uDot = sFullName.find('.');
    s.sGroup = uDot == std::string::npos ? sFullName : sFullName.substr(0, uDot);
    s.sName = uDot == std::string::npos ? "process" : sFullName.substr(uDot + 1);
    s.eOutcome = eOutcome;
    s.dSeconds = dSeconds;
    s.sDetail = sDetail;
    return s;
}

std::string XmlEscape(const std::string &s) {
    std::string sOut;
    for (char c : s) {
        switch (c) {
            case '&':
                sOut += "&amp;";
                break;
            case '<':
                sOut += "&lt;";
                break;
            case '>':
                sOut += "&gt;";
                break;
            case '"':
                sOut += "&quot;";
                break;
            default:
                sOut += (unsigned char)c < 0x20 ? ' ' : c;
        }
    }
    return sOut;
}

}  // namespace

void SetResultSink(int iFd) { giSink = iFd; }
void SetGroupName(const std::string &sGroup) { gsGroup = sGroup; }
const std::string &GroupName() { return gsGroup; }
void ForwardRecord(const std::string &sRecord) { WriteRecord(sRecord); }

void ReportResult(Outcome eOutcome, const std::string &sName, double dSeconds, const std::string &sDetail) {
    WriteRecord(Format("R\t%c\t%.6f\t%s\t%s\n", OutcomeLetter(eOutcome), dSeconds, Clean(sName, 200).c_str(),
                       Clean(sDetail, kMaxDetail).c_str()));
}

std::string Format(const char *pszFormat, ...) {
    va_list ap;
    va_start(ap, pszFormat);
    std::string s = VFormat(pszFormat, ap);
    va_end(ap);
    return s;
}

std::string ErrName(int iErr) {
    static const struct {
        int iErr;
        const char *pszName;
    } asNames[] = {{0, "OK"},           {-EINVAL, "EINVAL"}, {-EFAULT, "EFAULT"}, {-ENOMEM, "ENOMEM"},
                   {-ENOTTY, "ENOTTY"}, {-ENODEV, "ENODEV"}, {-EAGAIN, "EAGAIN"}, {-ENOENT, "ENOENT"}};
    for (const auto &s : asNames)
        if (s.iErr == iErr) return Format("%d (%s)", iErr, s.pszName);
    return Format("%d", iErr);
}

double NowSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

Check::Check(const std::string &sCheckName) : sName(gsGroup + "." + sCheckName), dStart(NowSeconds()) {
    WriteRecord("B\t" + Clean(sName, 200) + "\n");
}

Check::~Check() {
    Outcome e = iFailures != 0 ? Outcome::kFail : !sSkip.empty() ? Outcome::kSkip : Outcome::kPass;
    std::string sDetail = iFailures != 0 ? sFailure : !sSkip.empty() ? sSkip : sNote;
    if (iFailures > 1) sDetail += Format(" (and %d more failures)", iFailures - 1);
    ReportResult(e, sName, NowSeconds() - dStart, sDetail);
}

bool Check::Expect(bool bOk, const char *pszFormat, ...) {
    if (bOk) return true;
    if (iFailures++ == 0) {
        va_list ap;
        va_start(ap, pszFormat);
        sFailure = VFormat(pszFormat, ap);
        va_end(ap);
    }
    return false;
}

bool Check::ExpectErr(int iWant, int iGot, const char *pszWhat, ...) {
    if (iWant == iGot) return true;
    va_list ap;
    va_start(ap, pszWhat);
    std::string sWhat = VFormat(pszWhat, ap);
    va_end(ap);
    return Expect(false, "%s answered %s, expected %s", sWhat.c_str(), ErrName(iGot).c_str(), ErrName(iWant).c_str());
}

void Check::Skip(const char *pszFormat, ...) {
    va_list ap;
    va_start(ap, pszFormat);
    sSkip = VFormat(pszFormat, ap);
    va_end(ap);
}

void Check::Note(const char *pszFormat, ...) {
    va_list ap;
    va_start(ap, pszFormat);
    sNote = VFormat(pszFormat, ap);
    va_end(ap);
}

Timing Summarise(std::vector<double> adSeconds) {
    Timing s;
    if (adSeconds.empty()) return s;
    std::sort(adSeconds.begin(), adSeconds.end());
    const size_t n = adSeconds.size();
    s.dMedian = n % 2 ? adSeconds[n / 2] : (adSeconds[n / 2 - 1] + adSeconds[n / 2]) / 2;
    s.dMin = adSeconds.front();
    s.dMax = adSeconds.back();
    s.uRuns = n;
    return s;
}

static std::string Duration(double d) {
    if (d < 1e-3) return Format("%.1f us", d * 1e6);
    if (d < 1) return Format("%.2f ms", d * 1e3);
    return Format("%.2f s", d);
}

std::string Describe(const Timing &s) {
    return Format("%s (min %s, max %s, %zu runs)", Duration(s.dMedian).c_str(), Duration(s.dMin).c_str(),
                  Duration(s.dMax).c_str(), s.uRuns);
}

/* ---- The runner's side ---- */

std::string CollectRecords(int iFd, std::vector<Result> *pasResults) {
    std::string sPending, sOpen;
    char ac[4096];
    for (;;) {
        ssize_t n = read(iFd, ac, sizeof(ac));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        sPending.append(ac, (size_t)n);
        for (size_t uEnd; (uEnd = sPending.find('\n')) != std::string::npos;) {
            std::string sLine = sPending.substr(0, uEnd);
            sPending.erase(0, uEnd + 1);
            std::vector<std::string> asFields;
            for (size_t uStart = 0;;) {
                size_t uTab = sLine.find('\t', uStart);
                asFields.push_back(sLine.substr(uStart, uTab - uStart));
                if (uTab == std::string::npos) break;
                uStart = uTab + 1;
            }
            if (asFields[0] == "B" && asFields.size() == 2) {
                sOpen = asFields[1];
            } else if (asFields[0] == "R" && asFields.size() == 5) {
                Outcome e = asFields[1] == "p" ? Outcome::kPass : asFields[1] == "f" ? Outcome::kFail : Outcome::kSkip;
                pasResults->push_back(MakeResult(e, asFields[3], atof(asFields[2].c_str()), asFields[4]));
                PrintResult(pasResults->back());
                if (asFields[3] == sOpen) sOpen.clear();
            }
        }
    }
    return sOpen;
}

void AddResult(std::vector<Result> *pasResults, Outcome eOutcome, const std::string &sName,
               const std::string &sDetail) {
    pasResults->push_back(MakeResult(eOutcome, sName, 0, sDetail));
    PrintResult(pasResults->back());
}

int PrintSummary(const std::vector<Result> &asResults, double dSeconds) {
    std::map<std::string, int> aiGroups;
    int aiCount[3] = {0, 0, 0};
    for (const Result &s : asResults) {
        aiGroups[s.sGroup]++;
        aiCount[(int)s.eOutcome]++;
    }
    printf("[==========] %zu checks from %zu groups ran (%.1f s)\n", asResults.size(), aiGroups.size(), dSeconds);
    printf("[  PASSED  ] %d checks\n", aiCount[(int)Outcome::kPass]);
    for (Outcome e : {Outcome::kSkip, Outcome::kFail}) {
        if (aiCount[(int)e] == 0) continue;
        printf("%s %d checks, listed below:\n", Label(e), aiCount[(int)e]);
        for (const Result &s : asResults)
            if (s.eOutcome == e) printf("%s %s.%s\n", Label(e), s.sGroup.c_str(), s.sName.c_str());
    }
    printf("\n%s\n", aiCount[(int)Outcome::kFail] == 0
                         ? "CONFORMS: no check failed"
                         : Format("%d FAILED CHECKS", aiCount[(int)Outcome::kFail]).c_str());
    fflush(stdout);
    return aiCount[(int)Outcome::kFail];
}

int WriteJUnit(const std::string &sPath, const std::vector<Result> &asResults, double dSeconds) {
    FILE *ps = fopen(sPath.c_str(), "w");
    if (ps == nullptr) return -errno;
    std::vector<std::string> asGroups;
    for (const Result &s : asResults)
        if (std::find(asGroups.begin(), asGroups.end(), s.sGroup) == asGroups.end()) asGroups.push_back(s.sGroup);
    int aiTotal[3] = {0, 0, 0};
    for (const Result &s : asResults) aiTotal[(int)s.eOutcome]++;
    fprintf(ps, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    fprintf(ps,
            "<testsuites name=\"gralloc_conformance\" tests=\"%zu\" failures=\"%d\" skipped=\"%d\" time=\"%.3f\">\n",
            asResults.size(), aiTotal[(int)Outcome::kFail], aiTotal[(int)Outcome::kSkip], dSeconds);
    for (const std::string &sGroup : asGroups) {
        int aiCount[3] = {0, 0, 0}, iTests = 0;
        double dGroup = 0;
        for (const Result &s : asResults)
            if (s.sGroup == sGroup) aiCount[(int)s.eOutcome]++, iTests++, dGroup += s.dSeconds;
        fprintf(ps, "  <testsuite name=\"%s\" tests=\"%d\" failures=\"%d\" skipped=\"%d\" time=\"%.3f\">\n",
                XmlEscape(sGroup).c_str(), iTests, aiCount[(int)Outcome::kFail], aiCount[(int)Outcome::kSkip], dGroup);
        for (const Result &s : asResults) {
            if (s.sGroup != sGroup) continue;
            fprintf(ps, "    <testcase classname=\"%s\" name=\"%s\" time=\"%.6f\"", XmlEscape(s.sGroup).c_str(),
                    XmlEscape(s.sName).c_str(), s.dSeconds);
            if (s.eOutcome == Outcome::kPass) {
                if (s.sDetail.empty())
                    fprintf(ps, "/>\n");
                else
                    fprintf(ps, ">\n      <system-out>%s</system-out>\n    </testcase>\n",
                            XmlEscape(s.sDetail).c_str());
            } else {
                fprintf(ps, ">\n      <%s message=\"%s\"/>\n    </testcase>\n",
                        s.eOutcome == Outcome::kFail ? "failure" : "skipped", XmlEscape(s.sDetail).c_str());
            }
        }
        fprintf(ps, "  </testsuite>\n");
    }
    fprintf(ps, "</testsuites>\n");
    return fclose(ps) == 0 ? 0 : -errno;
}

}  // namespace conformance
