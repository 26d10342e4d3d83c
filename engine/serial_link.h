// The serial link: one port, exclusive for the job, 115200 8N1 without flow control, with the
// send and receive primitives every exchange is written with. Worker thread only.
#pragma once

#include <cstdint>

// The timeout profile's constant: a read waits this long for its byte, and a write of n bytes
// ends after n ms plus this. The wait loops look at Cancel between reads, so this also bounds how
// long a Cancel goes unseen.
constexpr uint32_t kPortTimeoutMs = 100;

// Opens "COM<portIndex + 1>" (or updateJob.portDevice when set), configures it and applies the
// timeout profile. A port that was opened is closed again before this reports failure.
bool OpenPort(int32_t portIndex);

// Raw 115200 8N1, no flow control, DTR and RTS raised, and the timeout profile.
bool ConfigurePort();

// Reads wait totalConstantMs for their byte; writes of n bytes end after n ms + totalConstantMs.
bool SetPortTimeouts(uint32_t totalConstantMs);

// Writes one byte, retrying a write that timed out unless the job is being cancelled.
bool SendByte(uint8_t value);

// Writes `count` bytes: count when all went out, the number so far when a cancel is seen after a
// short write, -1 when a write fails.
int32_t SendBytes(const void* buffer, uint32_t count);

// One byte within the read timeout; false on silence and when the device has gone alike.
bool ReceiveByte(uint8_t* value);

// True once the port's device has gone and stayed gone for about a second (a pulled-out USB
// adapter; a moment's loss is not enough). ReceiveByte has then stored ResultPortIoError, the
// errno and portGone in the record; a wait loop ends its phase without sending anything more.
// A device that is merely silent never makes this true.
bool PortGone();

bool ClosePort();
