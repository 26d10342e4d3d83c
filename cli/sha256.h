// SHA-256 of an image, computed once by a many-board run for every board's record.
#pragma once

#include <string>
#include <string_view>

// The 64 lowercase hex digits of the SHA-256 of `bytes`.
std::string Sha256Hex(std::string_view bytes);
