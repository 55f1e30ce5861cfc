#pragma once
// The exit statuses of velk-unpack, in the order in which they take precedence when several
// apply: -1 ... -5, then -8, then -7, then -6. Every failure status comes with a line saying why.

namespace velk {

constexpr int kExitOk = 0;
constexpr int kExitUsage = -1;           // fewer than three arguments, or an empty or root DEST
constexpr int kExitNoSource = -2;        // SOURCE does not exist
constexpr int kExitOpenFailed = -3;      // SOURCE cannot be opened
constexpr int kExitNotRegular = -4;      // SOURCE cannot be examined or is not a regular file
constexpr int kExitReadFailed = -5;      // reading SOURCE failed
constexpr int kExitVersionFailed = -6;   // no PLVS found, or VERSION-FILE cannot be written
constexpr int kExitSignature = -8;       // --pubkey: the signature of SOURCE is missing or does not verify
constexpr int kExitIncomplete = -7;      // a package failed, SOURCE ended inside one, held none or
                                         // changed while it was read, or DEST is busy, cannot be
                                         // made, emptied or synced

}  // namespace velk
