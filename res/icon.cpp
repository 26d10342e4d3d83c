#include "res/icon.h"

namespace {

// Icon 128: an arrow going down into a chip.
constexpr const char* kMainFrameXpm[] = {
    "32 32 11 1",
    "  c None",
    "b c #10182C",
    "n c #24365E",
    "l c #3F5C96",
    "k c #162340",
    "s c #D8DCE2",
    "d c #8A9099",
    "w c #F4F4F4",
    "y c #FFC21A",
    "o c #7A4300",
    "r c #E08E00",
    "            oooooooo            ",
    "            oyyyyyro            ",
    "            oyyyyyro            ",
    "            oyyyyyro            ",
    "            oyyyyyro            ",
    "            oyyyyyro            ",
    "            oyyyyyro            ",
    "            oyyyyyro            ",
    "            oyyyyyro            ",
    "            oyyyyyro            ",
    "       oyyyyyyyyyyyyyyyro       ",
    "        oyyyyyyyyyyyyyro        ",
    "         oyyyyyyyyyyyro         ",
    "      bbbboyyyyyyyyyrobbbb      ",
    "      blllloyyyyyyyrolllkb      ",
    "      blnnnnoyyyyyronnnnkb      ",
    "   sssblnnnnnoyyyronnnnnkbsss   ",
    "   dddblnnnnnnoyronnnnnnkbddd   ",
    "      blnnnnnnnoonnnnnnnkb      ",
    "      blnnnnnnnnnnnnnnnnkb      ",
    "   sssblnnnnnnnnnnnnnnnnkbsss   ",
    "   dddblnnnnnnnnnnnnnnnnkbddd   ",
    "      blnnnnnnnnnnnnnnnnkb      ",
    "      blnnnnnnnnnnnnnnnnkb      ",
    "   sssblnnnnnnnnnnnnnnnnkbsss   ",
    "   dddblnnnnnnnnnnnnnnnnkbddd   ",
    "      blnwwnnnnnnnnnnnnnkb      ",
    "      blnwwnnnnnnnnnnnnnkb      ",
    "      blnnnnnnnnnnnnnnnnkb      ",
    "      bkkkkkkkkkkkkkkkkkkb      ",
    "      bbbbbbbbbbbbbbbbbbbb      ",
    "                                ",
};

}  // namespace

const char* const* FindIconXpm(uint32_t id) {
    return id == kIdrMainFrame ? kMainFrameXpm : nullptr;
}
