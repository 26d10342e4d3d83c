// Icon resources: pictures the windows show, as XPM text so that the table needs no toolkit.
// Include it as "res/icon.h".
#pragma once

#include <cstdint>

enum IconResourceId : uint32_t {
    kIdrMainFrame = 128,  // the application's icon
};

// A 32 x 32 picture in at most 16 colours, as XPM lines: the header, the palette, then one line
// per row. Null for an unknown id.
const char* const* FindIconXpm(uint32_t id);
