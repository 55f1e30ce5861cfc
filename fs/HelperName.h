#pragma once
// The names of the files the programs keep beside a file or folder NAME: its lock, staging
// folder, probe and temporaries. "." + NAME + SUFFIX, hidden and recognisable, as long as that
// fits a name's limit (NAME_MAX, 255 bytes); a longer NAME is cut short and followed by "~" and
// 16 hex digits of a 64-bit FNV-1a hash of the whole NAME, so two long names that share their
// start still get two helpers, and the same NAME always gets the same helper. A run's own
// staging folder, probe and temporaries carry 16 random hex digits before the suffix besides
// (unpredictableName), so that no other run or user can know them ahead, share them or plant
// something there; isHelperName recognises both forms, to find what an earlier run left.
// Stateless.

#include <string>

namespace velk {

// The helper of `name` (one path component) with `suffix` (such as ".velk-lock"): always at
// most NAME_MAX bytes, for any suffix of up to 64 bytes.
std::string helperName(const std::string& name, const std::string& suffix);

// helperName with 16 random hex digits before the suffix, for a temporary whose name nobody
// may guess ahead (a link planted there in a shared folder). Empty when no random bytes came.
std::string unpredictableName(const std::string& name, const std::string& suffix);

// True when `candidate` is a helper of `name` with `suffix`: helperName's, or
// unpredictableName's with any 16 lowercase hex digits.
bool isHelperName(const std::string& candidate, const std::string& name, const std::string& suffix);

}  // namespace velk
