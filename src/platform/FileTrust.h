#pragma once

// The files and folders the program keeps its own data in (the settings store, the activity
// log, the mail queue, the news group lists) must be ones no other user can have put there
// or changed: what another user can write could send mail in our name, run a program named
// in the settings, or plant records in the log. And the program never writes through a
// symbolic link, which would put its data wherever the link's maker chose.
//
// Trusted: owned by this user or by root, and not writable by everyone. Group write is
// trusted (a umask of 002 with a private group is common). A file or folder of ours that
// everyone can write is shut to them and used; one of another user is refused.

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace filetrust {

// Why st cannot be trusted, as words that follow its name in a sentence ("belongs to
// another user (uid 1001)"), or empty when it can. Writable by everyone counts only when
// it is not ours (ours is repaired instead, see Repair).
std::string Distrust(const struct stat& st);

// True when st is ours and everyone can write it: the mode to shut.
bool NeedsRepair(const struct stat& st);

// Opens path for the program's own file, never through a symbolic link (a FIFO or device
// in its place is no file either, and is not waited on). flags as for open(2); O_NOFOLLOW,
// O_CLOEXEC and O_NONBLOCK are added, and O_NONBLOCK taken off again once open. A file of
// ours that everyone can write loses that write right. -1 when the file cannot be used:
// with distrust set (words that follow the file's name, as Distrust gives: "is a symbolic
// link", "is not a file", "belongs to another user (uid 1001)") when it is not to be
// trusted, else with distrust empty and errno the system's reason.
int OpenOwnFile(const std::string& path, int flags, mode_t mode, std::string* distrust);

// Checks the folder at path (not following a symbolic link at path itself) for keeping the
// program's own files; when missing and create is set it is made with mode. A folder of ours
// that everyone can write loses that write right. False with why (words that follow the
// folder's name) otherwise.
bool CheckOwnFolder(const std::string& path, bool create, mode_t mode, std::string* why);

}  // namespace filetrust
