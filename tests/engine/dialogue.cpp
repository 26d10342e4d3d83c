#include "tests/engine/dialogue.h"

#include <poll.h>
#include <unistd.h>

#include <cstring>

#include "tests/support/xmodem_bytes.h"

namespace {
std::string HexSize(size_t size) {
    char text[16];
    snprintf(text, sizeof text, "%zX", size);
    return text;
}
}  // namespace

Dialogue::Dialogue(const std::string& image, const char* identity, WorkerThread::Entry entry)
    : runner_(dir_.Write("image.img", image), peer_.SlavePath()) {
    updateJob.identityCheck = identity != nullptr;
    memset(updateJob.expectedIdentity, 0, 8);
    if (identity != nullptr) memcpy(updateJob.expectedIdentity, identity, 8);
    runner_.Start(entry);
}

Dialogue::~Dialogue() {
    runner_.Cancel();
    runner_.Wait(5000);
}

void Dialogue::Pull(uint32_t waitMs) {
    host_ += peer_.ReadFor(waitMs);
}

bool Dialogue::Expect(const std::string& bytes) {
    const Deadline deadline = Deadline::After(3000);
    bool ended = false;
    for (;;) {
        const size_t at = host_.find(bytes, matched_);
        if (at != std::string::npos) {
            matched_ = at + bytes.size();
            return true;
        }
        if (ended || deadline.Expired()) return false;
        // Once the job has ended, one last read collects what it wrote before it stopped.
        ended = runner_.Wait(0) >= 0;
        Pull(ended ? 20 : 10);
    }
}

std::string Dialogue::Take(size_t count) {
    const Deadline deadline = Deadline::After(3000);
    while (host_.size() - matched_ < count && !deadline.Expired())
        host_ += peer_.ReadCount(1, 20);
    const std::string taken = host_.substr(matched_, count);
    matched_ += taken.size();
    return taken;
}

bool Dialogue::Console(const ConsoleReplies& replies) {
    if (!Expect("\x1b\r\n")) return false;
    Send(replies.wake);
    if (!Expect("IDENT\r\n")) return false;
    Send(replies.ident);
    if (!Expect("VER\r\n")) return false;
    Send(replies.version);
    const std::string line = "UPDATE " + HexSize(updateJob.imageSize.load()) + "\r\n";
    if (!Expect(line)) return false;
    Send(replies.update.empty() ? line + "Ready\r\n" : replies.update);
    return true;
}

std::string Dialogue::AcceptBlocks(size_t packetSize) {
    std::string data;
    for (;;) {
        const std::string head = Take(1);
        if (head.empty() || head[0] == wire::kEot) break;
        const std::string rest = Take(packetSize - 1);
        const size_t checkSize = packetSize == 1029 ? 2 : 1;
        data += rest.substr(2, packetSize - 3 - checkSize);
        Send(std::string(1, wire::kAck));
    }
    Send(std::string(1, wire::kAck));
    return data;
}

const std::string& Dialogue::Host(uint32_t quietMs) {
    if (quietMs > 0) Pull(quietMs);
    return host_;
}
