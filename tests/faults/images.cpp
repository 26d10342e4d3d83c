// Cases of a bad image: missing, unreadable, not a regular file, locked, too large or too small,
// and one that shrinks while the job reads it. Every one ends before a byte reaches the device,
// except the largest size the engine takes, which the device refuses, and the shrinking file,
// which the sender must end with CAN CAN rather than pad.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <thread>

#include "platform/platform.h"
#include "tests/faults/matrix.h"
#include "tests/support/temp_dir.h"

namespace faults {

namespace {

// Descriptors a case holds while its job runs (a lock, a listening socket).
struct Holds {
    std::vector<int> fds;
    ~Holds() {
        for (const int fd : fds)
            close(fd);
    }
};

using MaybePath = std::optional<std::string>;

struct ImageCase {
    const char* name;
    // Makes the image in `dir` and returns its path; nothing when it cannot be made here.
    MaybePath (*make)(const TempDir& dir, uint64_t seed, Holds& holds);
    int32_t result;
    int error;              // the errno the job must report
    bool asNobody = false;  // the job runs without root's right to read every file
    int runs = 0;           // 0: the scale's
    const char* figure = nullptr;
};

MaybePath Sparse(const TempDir& dir, uint64_t size) {
    const std::string path = dir.File("huge.img");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return {};
    const bool ok = ftruncate(fd, off_t(size)) == 0;
    close(fd);
    if (!ok) return {};
    return path;
}

constexpr uint64_t k4GiB = uint64_t(1) << 32;

const ImageCase kImageCases[] = {
    {"image missing",
     [](const TempDir& dir, uint64_t, Holds&) -> MaybePath { return dir.File("missing.img"); },
     ResultImageInvalid, ENOENT},
    {"image path empty", [](const TempDir&, uint64_t, Holds&) -> MaybePath { return ""; },
     ResultImageInvalid, ENOENT},
    {"image unreadable (mode 000)",
     [](const TempDir& dir, uint64_t seed, Holds&) -> MaybePath {
         // The folder lets everyone through, so that only the file's own mode refuses.
         if (chmod(dir.Path().c_str(), 0711) != 0) return {};
         const std::string path = dir.Write("locked-out.img", PatternBytes(4096, unsigned(seed)));
         if (chmod(path.c_str(), 0) != 0) return {};
         return path;
     },
     ResultImageInvalid, EACCES, true, 0,
     "as root, mode 000 alone does not stop a read: the job ran with file-system uid 65534"},
    {"image is a directory",
     [](const TempDir& dir, uint64_t, Holds&) -> MaybePath {
         if (mkdir(dir.File("folder.img").c_str(), 0755) != 0) return {};
         return dir.File("folder.img");
     },
     ResultImageInvalid, EISDIR},
    {"image is a FIFO with no writer",
     [](const TempDir& dir, uint64_t, Holds&) -> MaybePath {
         if (mkfifo(dir.File("fifo.img").c_str(), 0644) != 0) return {};
         return dir.File("fifo.img");
     },
     ResultImageInvalid, EINVAL},
    {"image is a device (/dev/zero)",
     [](const TempDir&, uint64_t, Holds&) -> MaybePath { return "/dev/zero"; }, ResultImageInvalid,
     EINVAL},
    {"image is a listening socket",
     [](const TempDir& dir, uint64_t, Holds& holds) -> MaybePath {
         const std::string path = dir.File("socket.img");
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         if (path.size() >= sizeof address.sun_path) return {};
         memcpy(address.sun_path, path.c_str(), path.size() + 1);
         const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
         if (fd < 0) return {};
         holds.fds.push_back(fd);
         if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
             listen(fd, 1) != 0) {
             return {};
         }
         return path;
     },
     ResultImageInvalid, ENXIO},
    {"image is a symlink loop",
     [](const TempDir& dir, uint64_t, Holds&) -> MaybePath {
         if (symlink(dir.File("b.img").c_str(), dir.File("a.img").c_str()) != 0 ||
             symlink(dir.File("a.img").c_str(), dir.File("b.img").c_str()) != 0) {
             return {};
         }
         return dir.File("a.img");
     },
     ResultImageInvalid, ELOOP},
    {"image path through a file",
     [](const TempDir& dir, uint64_t seed, Holds&) -> MaybePath {
         return dir.Write("plain.img", PatternBytes(64, unsigned(seed))) + "/inner.img";
     },
     ResultImageInvalid, ENOTDIR},
    {"image locked exclusively by another program",
     [](const TempDir& dir, uint64_t seed, Holds& holds) -> MaybePath {
         const std::string path = dir.Write("busy.img", PatternBytes(4096, unsigned(seed)));
         const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
         if (fd < 0) return {};
         holds.fds.push_back(fd);
         if (flock(fd, LOCK_EX | LOCK_NB) != 0) return {};
         return path;
     },
     ResultImageInvalid, EWOULDBLOCK},
    {"image of 4 GiB or more (sparse)",
     [](const TempDir& dir, uint64_t seed, Holds&) {
         const uint64_t sizes[] = {k4GiB, k4GiB + 1, 5 * k4GiB / 4};
         return Sparse(dir, sizes[seed % 3]);
     },
     ResultImageInvalid, EFBIG, false, 0, "4 GiB, 4 GiB + 1 and 5 GiB in turn"},
    {"image empty",
     [](const TempDir& dir, uint64_t, Holds&) -> MaybePath { return dir.Write("empty.img", ""); },
     ResultImageIoError, 0},
    {"image of 1 to 7 bytes",
     [](const TempDir& dir, uint64_t seed, Holds&) -> MaybePath {
         return dir.Write("short.img", PatternBytes(1 + seed % 7, unsigned(seed)));
     },
     ResultImageIoError, 0, false, 7, "each length once in 7 runs"},
};

void BadImage(Matrix& m, Row& row, const ImageCase& c) {
    const bool root = geteuid() == 0;
    int silent = 0;
    for (int run = 0; run < m.Runs(c.runs > 0 ? c.runs : m.scale().runs); ++run) {
        const uint64_t seed = m.Seed(run);
        TempDir dir;
        Holds holds;
        const MaybePath path = c.make(dir, seed, holds);
        Sim sim;
        if (!path || !sim.Ok()) {
            m.Expect(row, false, seed, "the bad image or the device could not be made");
            continue;
        }
        jobAsNobody = c.asNobody && root;
        const JobEnd end = m.Job(row, seed, sim, *path, "");
        jobAsNobody = false;
        m.Expect(
            row,
            end.result == c.result && end.stage == StageCheckImage && end.systemError == c.error,
            seed,
            "result " + Label(end) + " at stage " + std::to_string(end.stage) + ", errno " +
                ErrnoName(end.systemError));
        // The job ends before the port is opened: not one byte on the wire.
        const size_t wire = sim.Device().HostBytes().size();
        silent += wire == 0;
        m.Expect(row, wire == 0, seed, std::to_string(wire) + " bytes on the wire");
        m.Note(row, "errno " + ErrnoName(end.systemError));
    }
    m.Figure(row, "nothing on the wire in " + std::to_string(silent) + "/" +
                      std::to_string(row.runs) + " runs");
    if (c.figure != nullptr && (!c.asNobody || root)) m.Figure(row, c.figure);
}

// The largest size the engine takes: announced in full, refused by the device, nothing sent.
void LargestImage(Matrix& m, Row& row) {
    for (int run = 0; run < m.Runs(1); ++run) {
        const uint64_t seed = m.Seed(run);
        TempDir dir;
        const MaybePath path = Sparse(dir, k4GiB - 1);
        sim::DeviceConfig config;
        config.refuseUpdate = true;
        Sim sim(config);
        if (!path || !sim.Ok()) {
            m.Expect(row, false, seed, "no image or no device");
            continue;
        }
        const JobEnd end = m.Job(row, seed, sim, *path, "");
        m.Expect(row, end.result == ResultTransferFail && end.stage == StageTransfer, seed,
                 "result " + Label(end) + " at stage " + std::to_string(end.stage));
        m.Expect(row, sim.Device().HostBytes().ends_with("UPDATE FFFFFFFF\r\n"), seed,
                 "the host did not announce FFFFFFFF bytes, or sent more");
    }
    m.Figure(row, "announced as UPDATE FFFFFFFF");
}

// The file loses its tail while the job reads it: the sender must fail rather than pad the
// missing bytes, and the device must never say Done.
void Shrinking(Matrix& m, Row& row) {
    // Larger than the platform's 16 KiB read-ahead twice over, and on a paced line, so the cut
    // always lands while bytes are still to be read.
    const size_t size = 65536;
    TempDir dir;
    for (int run = 0; run < m.Runs(); ++run) {
        const uint64_t seed = m.Seed(run);
        sim::Random random(seed);
        const bool crc = seed % 2 == 0;
        const std::string image = PatternBytes(size, unsigned(seed));
        const std::string path = dir.Write("image.img", image);
        sim::DeviceConfig config;
        config.crcMode = crc;
        config.lineRateBps = 1000000;
        Sim sim(config);
        if (!m.Started(row, seed, sim)) continue;
        std::atomic<bool> over{false};
        std::atomic<uint32_t> cutAt{UINT32_MAX};
        const uint64_t cutDraw = random.Next();
        sim::Device* device = &sim.Device();
        std::thread cutter([&] {
            while (!over.load()) {
                // The record still holds the last job's figures until this one has started;
                // the device's announced size says that it has.
                const uint32_t sent = updateJob.bytesSent.load();
                if (device->AnnouncedSize() == size && sent > size / 2) {
                    const uint32_t cut = uint32_t(cutDraw % (sent + 1));
                    if (truncate(path.c_str(), off_t(cut)) == 0) cutAt = cut;
                    return;
                }
                WaitUntil(Deadline::After(1));
            }
        });
        const JobEnd end = m.Job(row, seed, sim, path, image);
        over = true;
        cutter.join();
        // The device hears the host's CAN CAN a moment after the job has ended, later still
        // under a sanitizer.
        DeviceNews news = sim.News();
        for (const Deadline wait = Deadline::After(2000);
             news.abortReason.empty() && !wait.Expired(); news = sim.News()) {
            WaitUntil(Deadline::After(5));
        }
        m.Expect(row, cutAt.load() != UINT32_MAX, seed, "the file was not cut while the job ran");
        m.Expect(row, end.result == ResultImageIoError && end.stage == StageTransfer, seed,
                 "result " + Label(end) + " at stage " + std::to_string(end.stage));
        m.Expect(row, news.verdicts.empty() && sim.Device().UpdatesCompleted() == 0, seed,
                 "the device took the transfer as complete");
        m.Expect(row, news.abortReason == "cancelled by the host", seed,
                 "the device's transfer ended with \"" + news.abortReason + "\"");
        m.Note(row, crc ? "CRC" : "checksum");
    }
    m.Figure(row, "64 KiB image at 1 Mbit/s, cut to a random length below the bytes sent");
    m.Figure(row, "device: no verdict, \"cancelled by the host\"");
}

}  // namespace

std::vector<FaultCase> ImageCases() {
    std::vector<FaultCase> cases = RowsOf(kImageCases, BadImage);
    cases.push_back({"image of 4 GiB - 1 (sparse; the device refuses it)", LargestImage});
    cases.push_back({"image shrinks during the job (truncated past half)", Shrinking});
    return cases;
}

}  // namespace faults
