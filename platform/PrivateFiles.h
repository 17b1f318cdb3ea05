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

// Opens a file that holds a secret (or what guards one) for reading, or says in why why it is
// not used; why stays empty when there is simply no file. Refused: a symbolic link, anything
// but a regular file, another user's file, and one that others may read or change: whoever
// can read it has the secret, and whoever can change it chooses it. -1 unless opened.
int OpenOwnPrivateFile(const std::string& path, std::string& why);

// Replaces the file at path with content so that a crash leaves the old or the new file
// whole: a new 0600 file beside it, synced, renamed over it, and the folder synced. false,
// with *failure set, when a step fails; the old file then stays as it was.
bool ReplacePrivateFile(const std::string& path, const std::string& content,
                        std::string* failure = nullptr);
