#pragma once
// CTarExtensions reads the headers that tar writers put before an entry to say more than a
// ustar header holds, and keeps what they say until the entry comes:
//   'x'  pax records for the next entry         'L'  GNU long name of the next entry
//   'g'  pax records for every later entry      'K'  GNU long link target of the next entry
// A pax header's data is a run of records "LENGTH KEYWORD=VALUE\n", LENGTH counting the whole
// record in decimal. `path`, `linkpath` and `size` are applied; records that describe a
// sparse or multi-volume file (GNU.sparse.*, GNU.volume.*) are refused, since the data behind
// the entry would not be the file's bytes; every other keyword (times, owners, comment,
// charset, SCHILY.*, LIBARCHIVE.*, unknown ones) is metadata this reader does not apply, and
// is skipped as tar skips it. An 'x' record overrides a 'g' record of its keyword; an empty
// value deletes the keyword ('x': not for this entry). Of several headers of one typeflag
// before an entry the last counts: a second 'x' replaces the first whole, as both tars read
// them. A pax `path` or `linkpath` ('x', else 'g') wins over a GNU long name or link target,
// whatever their order, which wins over the header's own field.
// Calling order: take for each extension header's whole data (at most kMaxExtensionBytes,
// the caller's bound), then per entry formName / formLinkTarget / formSize, then entryDone.
// Memory: the values of the last headers only, each shorter than one header's data.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "brn/tar/TarError.h"

namespace brn {

// The longest data of one extension header, in bytes; a longer one is refused.
constexpr size_t kMaxExtensionBytes = 65536;

class CTarExtensions {
public:
    // True for the typeflags of the headers read here.
    static bool isExtensionFlag(unsigned char flag);

    // Takes the whole data of a header of typeflag `flag` ('x', 'g', 'L' or 'K'); `size` is
    // at most kMaxExtensionBytes. A malformed record, or one that is refused, prints why and
    // fails; nothing of that header is kept then.
    TarError take(unsigned char flag, const char* data, size_t size);

    // True while an 'x', 'L' or 'K' header waits for its entry.
    bool pending() const { return nextPending; }

    // The entry's name, link target and data size: what the headers set, or else `field`,
    // the header's own value (for the size, `fieldValid` false means the field cannot be used:
    // the size must come from a record then). formSize gives false when it must and does not.
    std::string formName(std::string field) const;
    std::string formLinkTarget(std::string field) const;
    bool formSize(uint32_t field, bool fieldValid, uint32_t& size) const;

    // The entry has come: what was meant for it alone is dropped; 'g' values stay.
    void entryDone();

private:
    // What headers said of one header field: nothing, "use the field" (an 'x' record with an
    // empty value), or a value.
    enum class Said { kNothing, kCleared, kValue };
    template <class T>
    struct Override {
        Said said = Said::kNothing;
        T value{};
        void set(T v) { said = Said::kValue, value = std::move(v); }
        // A pax record's value; an empty one deletes the keyword.
        void take(T v, bool empty, bool isGlobal) {
            if (!empty) return set(std::move(v));
            said = isGlobal ? Said::kNothing : Said::kCleared;
        }
    };
    struct Values {
        Override<std::string> path;
        Override<std::string> linkPath;
        Override<uint32_t> size;
    };
    template <class T>
    static const T* pick(const Override<T>& next, const Override<T>& global);

    TarError takeRecords(const char* data, size_t size, bool global);
    TarError takeRecord(const std::string& keyword, const std::string& value, bool global, Values& into);
    TarError takeLongName(const char* data, size_t size, std::string& into);

    Values global;               // from 'g' headers, for every later entry
    Values next;                 // from the last 'x' header, for the next entry
    std::string longName;        // from the last 'L' header, for the next entry; empty: none
    std::string longLink;        // from the last 'K' header, for the next entry; empty: none
    bool nextPending = false;    // an 'x', 'L' or 'K' header waits for its entry
};

}  // namespace brn
