#pragma once
// What the programs leave beside a file or folder NAME under the helper names of
// fs/HelperName.h, and how it goes. removeBeside removes one name, whatever it is: a folder
// with everything in it (fs/TreeRemover.h: by descriptors, never following a link or entering
// another file system). removeLeftovers finds the helpers of NAME an earlier run left in a
// folder, in either form, and removes those that belong to one of the given owners; a name
// another user put there is left alone, so a planted one can neither be removed through us nor
// stop the run. Call it only while holding the lock that keeps every other run of NAME away:
// a helper of a live run is then never among them. Stateless.

#include <sys/types.h>

#include <string>
#include <vector>

namespace velk {

// Removes `leaf` of the open folder `folder`; `shown` names it in messages. 0, or the errno of
// the call that failed (its message printed).
int removeBeside(int folder, const std::string& leaf, const std::string& shown);

// Removes each helper of `name` with one of `suffixes` in `folder` (shown as `shownFolder`)
// that belongs to one of `owners`. One that cannot be removed is reported ("PATH: left by an
// earlier run, it cannot be removed(errno,text)") and stays; the others still go. The number
// that stay.
int removeLeftovers(int folder, const std::string& shownFolder, const std::string& name,
                    const std::vector<std::string>& suffixes, const std::vector<uid_t>& owners);

}  // namespace velk
