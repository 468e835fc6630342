#pragma once

// The header block of a stored mail message, read once and searched by name: a name is
// found whatever its letter case, and a value folded over several lines is read whole.

#include <string>
#include <string_view>

// The most of a header block that is read; a longer one is judged by what fits.
inline constexpr size_t kMaxHeaderBlock = 256 * 1024;

// The header block of the message stored in fd (read from its start): every line up to the
// empty line that ends it (not included), or up to kMaxHeaderBlock. False when the file
// cannot be read.
bool ReadHeaderBlock(int fd, std::string* block);

// The value of header name (without its colon) in block: its lines joined, blanks at either
// end removed. False, value empty, when the header is not there.
bool FindHeader(std::string_view block, std::string_view name, std::string* value);
