// The fault matrix as a program that prints it: the update job, in process, against the simulated
// device over real ptys, through line noise, device faults, unplugged devices, a held port, bad
// images and a long run of jobs with random knobs. One table row per case: the results seen, how
// many successes left the device holding exactly the image, time, CPU and the descriptors left
// open. The cases and their harness live in tests/faults/, whose test suite runs every row at the
// short scale.
//
//   faults [--short | --full] [--markdown FILE] [--only TEXT] [--seed N] [--runs N]
//          [--no-rss-check]
//
// --short (the default) is the scale the test suite uses; --full runs every case ten times
// (the ACK-of-EOT rows 1,000 times) with larger images, and 1,000 consecutive jobs. --only keeps
// the rows whose name contains TEXT; --seed and --runs repeat a run exactly: run i of a row uses
// seed N + i for the device's noise, the image's bytes and every random choice of the case.
// --no-rss-check still reports the resident size over the consecutive jobs but does not fail on its
// growth: under AddressSanitizer freed memory waits in a quarantine, and LeakSanitizer is the judge
// of leaks there.
//
// Exit status: 0 when every run ended as its case allows, 1 when any did not or any success left
// a wrong image in the device (both are listed on stderr with the command that repeats them),
// 64 for a bad command line.

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "tests/faults/matrix.h"

using namespace faults;

namespace {

int Usage(const char* why) {
    if (why != nullptr) fprintf(stderr, "faults: %s\n", why);
    fprintf(stderr,
            "usage: faults [--short | --full] [--markdown FILE] [--only TEXT] [--seed N] "
            "[--runs N] [--no-rss-check]\n");
    return 64;
}

bool Number(const char* text, uint64_t* value) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    *value = strtoull(text, &end, 10);
    return errno == 0 && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        uint64_t number = 0;
        if (arg == "--short") {
            options.full = false;
        } else if (arg == "--full") {
            options.full = true;
        } else if (arg == "--markdown" && value != nullptr) {
            options.markdown = value;
            ++i;
        } else if (arg == "--only" && value != nullptr) {
            options.only = value;
            ++i;
        } else if (arg == "--seed" && Number(value, &number)) {
            options.seed = number;
            ++i;
        } else if (arg == "--runs" && Number(value, &number) && number > 0 && number < 1000000) {
            options.runs = int(number);
            ++i;
        } else if (arg == "--no-rss-check") {
            options.judgeRss = false;
        } else if (arg == "--help" || arg == "-h") {
            Usage(nullptr);
            return 0;
        } else {
            return Usage(("bad argument: " + arg).c_str());
        }
    }
    Matrix matrix(options, options.full ? kFull : kShort);
    fprintf(stderr, "%s\n", Header(matrix).c_str());
    for (const FaultCase& c : AllCases())
        matrix.Run(c);

    const std::string header = Header(matrix);
    printf("\n%s\n\n", header.c_str());
    matrix.Print(stdout);
    printf("\n%s\n", kLegend);
    if (!options.markdown.empty() &&
        !matrix.WriteMarkdown(options.markdown, header + "\n\n" + kLegend)) {
        fprintf(stderr, "faults: cannot write %s: %s\n", options.markdown.c_str(), strerror(errno));
        return 1;
    }
    if (matrix.Failed()) {
        fprintf(stderr, "\nfaults: %zu problem(s):\n", matrix.Problems().size());
        for (const std::string& problem : matrix.Problems())
            fprintf(stderr, "  %s\n", problem.c_str());
        return 1;
    }
    return 0;
}
