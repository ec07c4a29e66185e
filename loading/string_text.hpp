#pragma once

#include <string>
#include <string_view>

namespace norvel {

// The text a JSON string stands for, from its body (the bytes between its
// quotes) as the cursor has already skipped it: escapes well-formed, no
// control bytes. It is the body itself when that holds no escape and is
// UTF-8 throughout, else its decoding, written into `scratch`.
//
// A skipped string is checked for form only, so its body may hold what
// stands for no character: a \u escape of a surrogate that does not pair up,
// and bytes that are not UTF-8 (only a caller outside Python can pass
// those). Each becomes U+FFFD, so the text is always UTF-8 and the document
// is never refused for it.
std::string_view string_text(std::string_view body, std::string& scratch);

}  // namespace norvel
