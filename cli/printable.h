// Names a person gave, or their links hold, shown safely: such a name may hold any byte, and on a
// terminal a control character would do more than show.
#pragma once

#include <string>

// `text` with control characters shown as '?'.
std::string Printable(std::string text);
