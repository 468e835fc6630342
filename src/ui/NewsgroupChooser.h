#pragma once

// The newsgroup chooser: the groups of a news server, filtered by a search word, from which
// the user picks some. The list is kept in a file per server and fetched from the server
// when that file does not exist yet.

#include <string>
#include <vector>

class QWidget;

// Runs the chooser modally for server. True when it ended with OK; result then holds the
// selected groups in the list's order (possibly none).
bool RunNewsgroupChooser(QWidget* parent, const std::string& server,
                         std::vector<std::string>* result);
