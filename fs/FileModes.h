#pragma once
// The modes the programs make things with, and the two masks of a mode, one home each.
// Every new file and folder is made with these (before the umask, or a default ACL in its
// place); what an entry's own mode may grant is kGrantedModeBits, never more. Constants only.

#include <sys/types.h>

namespace velk {

constexpr mode_t kNewFileMode = 0600;    // a file before it is complete: its owner's alone
constexpr mode_t kNewFolderMode = 0755;  // a folder: anyone may look into it

// Every bit chmod takes: permissions, set-user-ID, set-group-ID and sticky. A mode copied
// from one file to another (a replaced file, DEST's mode on the swapped tree) keeps them all.
constexpr mode_t kModeBits = 07777;
// The bits a package's entry may set: read, write and run for owner, group and others;
// never set-user-ID, set-group-ID or sticky, so a package cannot make a program run as
// someone else.
constexpr mode_t kGrantedModeBits = 0777;

}  // namespace velk
