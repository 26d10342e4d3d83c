// Cases of a port another program holds: by flock, by the exclusive flag, or by a UUCP lock file
// of a live process. The job refuses it without a byte and without taking the hold away; once
// the other program lets go (or its lock file is stale), the next job goes through.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "tests/faults/matrix.h"
#include "tests/support/child.h"
#include "tests/support/temp_dir.h"

namespace faults {

namespace {

enum class HeldBy { Flock, ExclusiveFlag, LockFile };

struct HeldCase {
    const char* name;
    HeldBy by;
};

const HeldCase kHeldCases[] = {
    {"port held by another program (flock), then released", HeldBy::Flock},
    {"port held by another program (exclusive flag), then released", HeldBy::ExclusiveFlag},
    {"port held by a live program's lock file, then stale", HeldBy::LockFile},
};

// Another program's hold on the port, for as long as this lives.
class Holder {
  public:
    Holder(HeldBy by, const std::string& port, const std::string& lockFolder) : by_(by) {
        if (by == HeldBy::LockFile) {
            // A process that stays alive until its input closes stands for minicom.
            Launch cat;
            cat.argv = {"cat"};
            cat.in = Stdio::Pipe();
            if (!other_.Start(cat)) return;
            std::string name = port.substr(port.rfind("/dev/") == 0 ? 5 : 0);
            std::replace(name.begin(), name.end(), '/', '_');
            char pid[16];
            snprintf(pid, sizeof pid, "%10ld\n", long(other_.Pid()));
            lockFile_ = lockFolder + "/LCK.." + name;
            lockText_ = pid;
            std::ofstream(lockFile_) << lockText_;
            held_ = ReadWholeFile(lockFile_) == lockText_;
            return;
        }
        fd_ = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        held_ = fd_ >= 0 && (by == HeldBy::Flock ? flock(fd_, LOCK_EX | LOCK_NB) == 0
                                                 : ioctl(fd_, TIOCEXCL) == 0);
    }
    ~Holder() { Release(); }
    bool Held() const { return held_; }
    // Whether the hold is still as it was made (the job must not have taken it away).
    bool Intact() const {
        int flag = 0;
        if (by_ == HeldBy::ExclusiveFlag) return ioctl(fd_, TIOCGEXCL, &flag) == 0 && flag == 1;
        if (by_ == HeldBy::LockFile) return ReadWholeFile(lockFile_) == lockText_;
        return true;
    }
    // The other program ends: its descriptor closes, or its process dies and leaves its lock
    // file behind, stale.
    void Release() {
        if (fd_ >= 0) {
            if (by_ == HeldBy::ExclusiveFlag) ioctl(fd_, TIOCNXCL);
            close(fd_);
            fd_ = -1;
        }
        if (other_.Running()) {
            other_.CloseIn();
            other_.Wait(5000);
        }
    }

  private:
    HeldBy by_;
    int fd_ = -1;
    Child other_;
    std::string lockFile_;
    std::string lockText_;
    bool held_ = false;
};

int LockFilesIn(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    int count = 0;
    while (const dirent* entry = dir != nullptr ? readdir(dir) : nullptr)
        count += std::string(entry->d_name).starts_with("LCK..");
    if (dir != nullptr) closedir(dir);
    return count;
}

void Held(Matrix& m, Row& row, const HeldCase& c) {
    TempDir dir;
    TempDir locks;
    // Lock files go to a folder of the harness's own, never the machine's.
    const char* saved = getenv("QUORVANE_LOCK_DIR");
    const std::string savedFolder = saved != nullptr ? saved : "";
    setenv("QUORVANE_LOCK_DIR", locks.Path().c_str(), 1);
    for (int run = 0; run < m.Runs(); ++run) {
        const uint64_t seed = m.Seed(run);
        const std::string image = PatternBytes(m.scale().replyImage, unsigned(seed));
        const std::string path = dir.Write("image.img", image);
        Sim sim;
        if (!m.Started(row, seed, sim)) continue;
        Holder holder(c.by, sim.Device().PortPath(), locks.Path());
        m.Expect(row, holder.Held(), seed, "could not take the port for the other program");
        const JobEnd end = m.Job(row, seed, sim, path, image);
        m.Expect(row,
                 end.result == ResultPortIoError && end.stage == StageConnect &&
                     end.systemError == EBUSY,
                 seed,
                 "result " + Label(end) + " at stage " + std::to_string(end.stage) + ", errno " +
                     ErrnoName(end.systemError));
        m.Expect(row, sim.Device().HostBytes().empty(), seed, "bytes reached the held port");
        m.Expect(row, holder.Intact(), seed, "the job took the other program's hold away");
        holder.Release();

        const JobEnd next = RunJob(path, sim, m.scale().boundMs);
        m.Note(row, std::string(c.by == HeldBy::LockFile ? "once stale: " : "after release: ") +
                        Label(next));
        m.CheckSuccess(row, next, sim, image, seed);
        m.Expect(row, next.result == ResultSuccess, seed,
                 "the job after release ended with " + Label(next));
    }
    if (saved != nullptr) {
        setenv("QUORVANE_LOCK_DIR", savedFolder.c_str(), 1);
    } else {
        unsetenv("QUORVANE_LOCK_DIR");
    }
    if (c.by == HeldBy::LockFile) {
        const int left = LockFilesIn(locks.Path());
        m.Figure(row, "lock files left after the jobs: " + std::to_string(left));
        m.Expect(row, left == 0, m.Seed(0), "the job left its lock file behind");
    }
}

}  // namespace

std::vector<FaultCase> HeldCases() {
    return RowsOf(kHeldCases, Held);
}

}  // namespace faults
