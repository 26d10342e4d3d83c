#include "res/strings.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr bool SortedAndUnique() {
    for (size_t i = 1; i < std::size(kStringTable); ++i) {
        if (kStringTable[i - 1].id >= kStringTable[i].id) return false;
    }
    return true;
}
// LoadString searches by bisection; a row out of order would silently become unreachable.
static_assert(SortedAndUnique(), "string table must be sorted by id, each id once");

}  // namespace

const char* LoadString(uint32_t id) {
    const auto* end = std::end(kStringTable);
    const auto* row = std::lower_bound(std::begin(kStringTable), end, id,
                                       [](const StringRow& r, uint32_t key) { return r.id < key; });
    return row != end && row->id == id ? row->text : "";
}

const char* ResultText(int32_t result) {
    if (result < 2 || result > 7) return "";
    return LoadString(478u + static_cast<uint32_t>(result));
}

const char* StageText(int32_t stage) {
    if (stage < 1 || stage > 5) return "";
    return LoadString(kIdsStageCheckImage - 1u + static_cast<uint32_t>(stage));
}
