#include "brn/tar/TarExtensions.h"

#include <cstring>

#include "fs/Message.h"

namespace brn {

namespace {

constexpr uint64_t kMaxSize = 4294967295u;  // the largest entry size, as for the ustar field

// Keyword families whose records say the entry's data is not the file's bytes.
struct RefusedFamily {
    const char* prefix;
    TarError error;
    const char* what;
};
constexpr RefusedFamily kRefusedFamilies[] = {
    {"GNU.sparse.", TarError::kSparseFile, "a GNU sparse file"},
    {"GNU.volume.", TarError::kMultiVolume, "a file continued from another volume"},
};

bool startsWith(const std::string& text, const char* prefix) { return text.compare(0, strlen(prefix), prefix) == 0; }

TarError malformed(size_t offset, const char* why) {
    brn::message("tar: extended header: malformed record at byte %zu: %s\n", offset, why);
    return TarError::kBadExtension;
}

// A record's decimal length at `at`, followed by one blank: the length, or 0 when there is
// none or it runs past `size`. Digits beyond what fits are never accumulated.
size_t recordLength(const unsigned char* data, size_t size, size_t at) {
    size_t length = 0, digits = 0;
    for (; at + digits < size && data[at + digits] >= '0' && data[at + digits] <= '9'; ++digits) {
        length = length * 10 + (data[at + digits] - '0');
        if (length > size - at) return 0;
    }
    const bool blank = digits > 0 && at + digits < size && data[at + digits] == ' ';
    // The shortest record around a length is "LENGTH k=\n".
    return blank && length >= digits + 4 ? length : 0;
}

// A decimal entry size: digits only, at most kMaxSize.
TarError parseSize(const std::string& text, uint32_t& size) {
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            brn::message("tar: extended header: size %.*s is not a number\n", int(text.size()), text.data());
            return TarError::kBadExtension;
        }
        value = value * 10 + uint64_t(c - '0');
        if (value > kMaxSize) {
            brn::message("tar: extended header: size above 4294967295 bytes is not supported\n");
            return TarError::kBadSize;
        }
    }
    size = uint32_t(value);
    return TarError::kNone;
}

// Text the entry takes as a name: no NUL byte, which would end it early on the way to the kernel.
TarError checkNameText(const std::string& keyword, const std::string& value) {
    if (value.find('\0') == std::string::npos) return TarError::kNone;
    brn::message("tar: extended header: %s holds a NUL byte\n", keyword.c_str());
    return TarError::kBadExtension;
}

}  // namespace

bool CTarExtensions::isExtensionFlag(unsigned char flag) {
    return flag == 'x' || flag == 'g' || flag == 'L' || flag == 'K';
}

TarError CTarExtensions::take(unsigned char flag, const char* data, size_t size) {
    TarError taken = TarError::kNone;
    switch (flag) {
        case 'g': return takeRecords(data, size, true);
        case 'x': taken = takeRecords(data, size, false); break;
        case 'L': taken = takeLongName(data, size, longName); break;
        case 'K': taken = takeLongName(data, size, longLink); break;
        default: return TarError::kUnknownFlag;
    }
    if (taken == TarError::kNone) nextPending = true;
    return taken;
}

// All records are checked before any is kept: a header refused halfway leaves no trace. A
// 'g' header changes the keywords it names; an 'x' header replaces what an earlier one said.
TarError CTarExtensions::takeRecords(const char* data, size_t size, bool isGlobal) {
    auto* bytes = reinterpret_cast<const unsigned char*>(data);
    Values taken = isGlobal ? global : Values();
    for (size_t at = 0; at < size;) {
        const size_t length = recordLength(bytes, size, at);
        if (length == 0) return malformed(at, "no length, or one that runs past the header");
        const char* record = data + at;
        if (record[length - 1] != '\n') return malformed(at, "no newline at its end");
        const char* keyword = static_cast<const char*>(memchr(record, ' ', length)) + 1;
        const char* equals = static_cast<const char*>(memchr(keyword, '=', size_t(record + length - keyword)));
        if (equals == nullptr || equals == keyword) return malformed(at, "no keyword=value");
        const std::string name(keyword, size_t(equals - keyword));
        const std::string value(equals + 1, size_t(record + length - 1 - (equals + 1)));
        if (TarError error = takeRecord(name, value, isGlobal, taken); error != TarError::kNone) return error;
        at += length;
    }
    (isGlobal ? global : next) = std::move(taken);
    return TarError::kNone;
}

TarError CTarExtensions::takeRecord(const std::string& keyword, const std::string& value, bool isGlobal,
                                    Values& into) {
    for (const RefusedFamily& family : kRefusedFamilies) {
        if (!startsWith(keyword, family.prefix)) continue;
        brn::message("tar: extended header: %s is refused (%s)\n", family.what, keyword.c_str());
        return family.error;
    }
    if (keyword == "path" || keyword == "linkpath") {
        if (TarError error = checkNameText(keyword, value); error != TarError::kNone) return error;
        (keyword == "path" ? into.path : into.linkPath).take(value, value.empty(), isGlobal);
    } else if (keyword == "size") {
        uint32_t size = 0;
        if (TarError error = parseSize(value, size); error != TarError::kNone) return error;
        into.size.take(size, value.empty(), isGlobal);
    }
    return TarError::kNone;  // any other keyword is metadata this reader does not apply
}

// The name is the data up to its first NUL (the writer counts one at its end).
TarError CTarExtensions::takeLongName(const char* data, size_t size, std::string& into) {
    const void* end = memchr(data, '\0', size);
    const size_t length = end == nullptr ? size : size_t(static_cast<const char*>(end) - data);
    if (length == 0) {
        brn::message("tar: a GNU long name header holds no name\n");
        return TarError::kBadExtension;
    }
    into.assign(data, length);
    return TarError::kNone;
}

template <class T>
const T* CTarExtensions::pick(const Override<T>& nextValue, const Override<T>& globalValue) {
    if (nextValue.said != Said::kNothing) return nextValue.said == Said::kValue ? &nextValue.value : nullptr;
    return globalValue.said == Said::kValue ? &globalValue.value : nullptr;
}

std::string CTarExtensions::formName(std::string field) const {
    if (const std::string* set = pick(next.path, global.path)) return *set;
    return longName.empty() ? std::move(field) : longName;
}

std::string CTarExtensions::formLinkTarget(std::string field) const {
    if (const std::string* set = pick(next.linkPath, global.linkPath)) return *set;
    return longLink.empty() ? std::move(field) : longLink;
}

bool CTarExtensions::formSize(uint32_t field, bool fieldValid, uint32_t& size) const {
    const uint32_t* set = pick(next.size, global.size);
    if (set == nullptr && !fieldValid) return false;
    size = set != nullptr ? *set : field;
    return true;
}

void CTarExtensions::entryDone() {
    next = Values();
    longName.clear();
    longLink.clear();
    nextPending = false;
}

}  // namespace brn
