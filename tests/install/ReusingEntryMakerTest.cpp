// CReusingEntryMaker on real trees: a file equal to the old tree's becomes a link to it, a file
// that differs is written with the new bytes, and nothing is reached through a link of the old
// tree. Its calls' results are checked in one place (makeFile), as the tar reader would.

#include "install/ReusingEntryMaker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "fs/UniqueFd.h"
#include "tests/support/TestSupport.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using velktest::readFile;
using velktest::writeFile;

// Makes one regular-file entry through `maker` as the tar reader does, its data in two writes.
bool makeFile(brn::CEntryMaker& maker, const std::string& name, const std::string& bytes) {
    brn::TAR_FILE_INFO_T info;
    info.name = name;
    info.mode = 0644;
    info.size = uint32_t(bytes.size());
    maker.noteEntry(info);
    int handle = -1;
    const size_t half = bytes.size() / 2;
    return maker.openFile(name, info.mode, handle) == brn::MakeOutcome::kOk &&
           maker.write(handle, bytes.data(), half) == brn::MakeOutcome::kOk &&
           maker.write(handle, bytes.data() + half, bytes.size() - half) == brn::MakeOutcome::kOk &&
           maker.closeFile(handle, name) == brn::MakeOutcome::kOk;
}

ino_t inodeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(ReusingEntryMaker, LinksOnlyWhatIsEqualAndFollowsNoLink) {
    velktest::TempDir tmp;
    const std::string same = velktest::seededBytes(70000, 1), changed = velktest::seededBytes(70000, 2);
    fs::create_directories(tmp / "old/sub");
    fs::create_directories(tmp / "outside");
    fs::create_directories(tmp / "staged");
    writeFile(tmp / "old/same", same);
    writeFile(tmp / "old/sub/changed", same);
    writeFile(tmp / "outside/f", same);
    fs::create_directory_symlink(tmp / "outside", tmp / "old/link");
    for (const char* file : {"old/same", "old/sub/changed", "outside/f"}) chmod((tmp / file).c_str(), 0600);
    const mode_t oldMask = umask(022);
    const CUniqueFd old(open((tmp / "old").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const CUniqueFd staged(open((tmp / "staged").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    {
        brn::CDiskEntryMaker disk(staged.get(), tmp / "staged/");
        CReusingEntryMaker maker(disk, old.get(), nullptr);
        EXPECT_TRUE(makeFile(maker, "same", same));
        EXPECT_TRUE(makeFile(maker, "sub/changed", changed));
        EXPECT_TRUE(makeFile(maker, "link/f", same));
        EXPECT_EQ(maker.linkedFiles(), 1u);
    }
    umask(oldMask);
    EXPECT_EQ(inodeOf(tmp / "staged/same"), inodeOf(tmp / "old/same"));
    EXPECT_NE(inodeOf(tmp / "staged/sub/changed"), inodeOf(tmp / "old/sub/changed"));
    EXPECT_NE(inodeOf(tmp / "staged/link/f"), inodeOf(tmp / "outside/f"));
    EXPECT_EQ(readFile(tmp / "staged/sub/changed"), changed);
    EXPECT_EQ(readFile(tmp / "staged/link/f"), same);
    EXPECT_EQ(readFile(tmp / "old/sub/changed"), same);
}

}  // namespace
}  // namespace velk
