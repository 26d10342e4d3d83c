#include "res/icon.h"

namespace {

#include "res/main_frame.xpm"

}  // namespace

const char* const* FindIconXpm(uint32_t id) {
    return id == kIdrMainFrame ? kMainFrameXpm : nullptr;
}
