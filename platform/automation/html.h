// HTML text as the component's descriptions and the page host's answers
// write it.
#pragma once

#include <string>
#include <string_view>

namespace qz {

// text with & < > " and ' escaped, safe inside an element or a quoted
// attribute value. Other bytes pass unchanged.
std::string EscapeHtml(std::string_view text);

}  // namespace qz
