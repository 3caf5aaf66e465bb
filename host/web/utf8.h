// UTF-8 as RFC 3629 defines it: no overlong forms, no surrogates (U+D800 to
// U+DFFF), nothing above U+10FFFF.
#pragma once

#include <string_view>

namespace web {

// True when `bytes` is whole, valid UTF-8 (an empty view is).
bool valid_utf8(std::string_view bytes);

}  // namespace web
