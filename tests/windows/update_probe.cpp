// quorvane-update-probe PORT IMAGE: one update job as the windows run it (the inputs in the job
// record, RunUpdateJob on the platform's worker thread, its exit code polled until the job has
// ended), for the serial line tests under wine. PORT is the port's number: 5 picks list entry 4,
// which the engine opens as COM5. Prints one line and exits with the job's result:
//   result R stage S sent B of N error E
#include <cstdio>
#include <cstdlib>

#include "engine/update_job.h"
#include "tests/support/job_runner.h"

int main(int argc, char** argv) {
    if (argc != 3 || std::atoi(argv[1]) < 1) {
        std::fprintf(stderr, "usage: quorvane-update-probe PORT-NUMBER IMAGE\n");
        return 64;
    }
    JobRunner runner(argv[2], int32_t(std::atoi(argv[1]) - 1));
    if (!runner.Start()) {
        std::fprintf(stderr, "quorvane-update-probe: no worker thread\n");
        return 70;
    }
    const int32_t result = runner.Wait(120000);
    std::printf("result %d stage %d sent %u of %u error %d\n", int(result),
                int(updateJob.stage.load()), unsigned(updateJob.bytesSent.load()),
                unsigned(updateJob.imageSize.load()), updateJob.systemError);
    return result < 0 ? 70 : result;
}
