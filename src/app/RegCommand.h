#pragma once

// The quorvane-reg command line: query, set, delete, export and import the settings store.

#include <iosfwd>
#include <string>
#include <vector>

// Exit codes: 0 success, 1 key or value not found, 2 usage error, 3 the store cannot be
// used.
int RunRegCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                  std::ostream& err);
