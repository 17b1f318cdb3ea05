#pragma once

#include <string>

// What the program makes for its user belongs to that user alone, whatever the umask: another
// local user who could write the settings folder could point the alerts at a server of their
// own to collect the mail password, or drop a log-on entry. Folders and files that were there
// before are left as the user has them.

// Makes folder and every missing folder above it, each with mode 0700. false, with *failure
// set, when one cannot be made.
bool MakePrivateFolders(const std::string& folder, std::string* failure = nullptr);

// Creates a new file with mode 0600 and opens it with flags (the access mode and extras);
// never one that is there already, never through a symbolic link. -1 with errno set.
int CreatePrivateFile(const std::string& path, int flags);

// Opens the file at path with flags, first creating it as CreatePrivateFile does when it is
// missing. A symbolic link at path is refused (ELOOP). -1 with errno set.
int OpenPrivateFile(const std::string& path, int flags);
