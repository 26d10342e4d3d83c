// A dialog template table (res/templates.h) as the in-memory DLGTEMPLATEEX that Windows' dialog
// manager builds windows from: the same styles, font, caption, and every element with its id,
// class, text and position in dialog units, in template order.
#pragma once

#include <cstdint>
#include <vector>

#include "res/templates.h"

// The template's bytes, as 16-bit words so that its items land on the 32-bit boundaries the
// format requires (the buffer's start is suitably aligned). A static without an id gets -1.
std::vector<uint16_t> BuildDialogTemplate(const DialogTemplate& dialog);

// The window and element styles a template's bits stand for.
uint32_t WindowStyleOf(const DialogTemplate& dialog);
uint32_t WindowExStyleOf(const DialogTemplate& dialog);
uint32_t ElementStyleOf(const DialogElement& element);
