#include "engine/console.h"

#include <cstdio>
#include <cstring>

#include "engine/serial_link.h"
#include "engine/update_job.h"

namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr char kLineEnd[] = "\r\n";

ConsoleLine line;

void SendCommand(const char* word) {
    // Write failures show up as replies that never come; the wait loops handle that.
    SendBytes(word, uint32_t(strlen(word)));
    SendBytes(kLineEnd, 2);
}

// Feeds received bytes to a fresh line reader until the prompt. False when cancelled or when the
// device has gone (PortGone() has stored the result).
bool ReadUntilPrompt() {
    line.Reset();
    uint8_t byte = 0;
    while (!CancelRequested()) {
        if (ReceiveByte(&byte)) {
            if (line.Take(byte)) return true;
        } else if (PortGone()) {
            return false;
        }
    }
    updateJob.result = ResultCancelled;
    return false;
}

// Keeps the last complete line for the record; the reader holds at most its first 32 bytes.
void KeepLine(char (&target)[33]) {
    const uint32_t length = line.previousLength < sizeof line.buffer ? line.previousLength
                                                                     : uint32_t(sizeof line.buffer);
    memcpy(target, line.buffer, length);
    target[length] = '\0';
}

}  // namespace

void ConsoleLine::Reset() {
    memset(buffer, 0, sizeof buffer);
    column = 0;
    previousLength = 0;
}

bool ConsoleLine::Take(uint8_t byte) {
    if (byte == '\n') {
        previousLength = column;
        column = 0;
        return false;
    }
    if (byte == '\r') return false;
    if (byte == '>' && column == 0) return true;
    if (column < sizeof buffer) buffer[column] = byte;
    ++column;
    return false;
}

bool ConnectTarget() {
    if (!ConfigurePort()) {
        updateJob.result = ResultPortIoError;
        return false;
    }
    SendByte(kEsc);
    SendBytes(kLineEnd, 2);
    uint8_t byte = 0;
    for (;;) {
        if (CancelRequested()) {
            updateJob.result = ResultCancelled;
            return false;
        }
        if (!ReceiveByte(&byte)) {
            if (PortGone()) return false;
            SendByte(kEsc);  // a read timeout means the console is still asleep
        } else if (byte == '>') {
            break;
        }
    }
    return QueryIdent() && QueryVersion();
}

bool QueryIdent() {
    SendCommand("IDENT");
    if (!ReadUntilPrompt()) return false;
    KeepLine(updateJob.identity);
    if (line.previousLength != 8 ||
        (updateJob.identityCheck && memcmp(line.buffer, updateJob.expectedIdentity, 8) != 0)) {
        updateJob.result = ResultConnectFail;
        return false;
    }
    return true;
}

bool QueryVersion() {
    SendCommand("VER");
    if (!ReadUntilPrompt()) return false;
    KeepLine(updateJob.version);
    if (memcmp(line.buffer, "Ver01.02", 8) != 0) {
        updateJob.result = ResultConnectFail;
        return false;
    }
    return true;
}

bool RequestUpdate() {
    static char size[9];
    snprintf(size, sizeof size, "%X",
             unsigned(updateJob.imageSize.load(std::memory_order_relaxed)));
    SendBytes("UPDATE", 6);
    SendByte(' ');
    SendBytes(size, uint32_t(strlen(size)));
    SendBytes(kLineEnd, 2);

    bool echoSkipped = false;  // the device's echo of the command line may hold a "?" itself
    uint8_t byte = 0;
    while (!CancelRequested()) {
        if (!ReceiveByte(&byte)) {
            if (PortGone()) return false;
            continue;
        }
        if (!echoSkipped) {
            echoSkipped = byte == '\n';
        } else if (byte == '?') {
            updateJob.result = ResultTransferFail;
            return false;
        } else if (byte == '\n') {
            return true;
        }
    }
    updateJob.result = ResultCancelled;
    return false;
}

bool AwaitUpdateResult() {
    if (!ReadUntilPrompt()) return false;
    if (line.previousLength != 4 || memcmp(line.buffer, "Done", 4) != 0) {
        updateJob.result = ResultUpdateFail;
        return false;
    }
    return true;
}
