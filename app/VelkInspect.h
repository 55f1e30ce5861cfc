#pragma once
// The velk-inspect program: velk-inspect [--verify] [--json] [--pubkey KEYFILE [--signature
// SIGFILE]] PACKAGE-FILE. It lists every
// package of a package file (index, offset, label, custom information, PLVS, payload
// length) and its tar entries, decoding the file exactly as velk-unpack does (same chunks,
// decoder, pipeline and safety rules) but making nothing: the entries go to one
// CListingEntryMaker shared by all packages. --verify ends with one verdict line per
// package; --json prints one JSON document instead of the text; --pubkey checks the file's
// minisign signature while it is read, as velk-unpack --pubkey would. The exit status says
// whether velk-unpack would succeed on the file, and if not, why (kInspect... below).
// velk-inspect --check-tree DEST checks an installed tree against its index instead
// (app/TreeCheck.h, with its own statuses: 0 same, 4 differs, 5 no usable index, 1 usage).

namespace velk {

constexpr int kInspectOk = 0;           // every package whole, the file ends behind one, a PLVS found
constexpr int kInspectUsage = 1;        // unknown option, not exactly one PACKAGE-FILE, or a relative
                                        // path where the working folder is gone
constexpr int kInspectUnreadable = 2;   // the file is missing, not a regular file, or reading it failed
constexpr int kInspectDamaged = 3;      // a package failed to decode (bad magic, head check, gzip,
                                        // tar, refused custom information, payload length 0), the
                                        // file ends inside a package, or it holds no package
constexpr int kInspectUnsafeEntry = 4;  // an entry path was refused for safety: a ".." component,
                                        // or a way through a symbolic link the archive made
constexpr int kInspectNoVersion = 5;    // every package whole, but none carries a PLVS value, so
                                        // velk-unpack would not write its version file
constexpr int kInspectSignature = 6;    // --pubkey: the signature is missing or does not verify, so
                                        // velk-unpack --pubkey would end with -8

// Runs the whole program; argv as given to main. The report goes to standard output;
// the libraries' diagnostics and the progress line go to standard error.
int velkInspect(int argc, const char* const* argv);

}  // namespace velk
