// The image file: opened read-only and held for the whole job, measured, checked against the
// optional identity, and read in sequence by the XMODEM sender. Worker thread only.
#pragma once

#include <cstdint>

// Opens the image and holds it shared for the whole job. False when it cannot be used as one
// (missing, held exclusively by another program, not a regular file, 4 GiB or more); the caller
// stores ResultImageInvalid.
bool OpenImage(const char* path);

// Stores imageSize, reads the first 8 bytes, applies the identity check and rewinds to the first
// byte. Stores ResultImageIoError or ResultImageInvalid itself on failure.
bool CheckImageHeader();

// Reads up to `count` bytes from the current position: fewer only at end of file, -1 on failure.
int32_t ReadImage(uint8_t* buffer, uint32_t count);

bool CloseImage();
