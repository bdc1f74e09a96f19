// The temporary files of kept bodies: made beside their final path, put in
// place without replacing anything, and cleared after a crash where the file
// system needs a name for them.
#include <gtest/gtest.h>

#include "mediacap/transfers/temporary_file.hpp"
#include "testkit/test_data.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>

namespace fs = std::filesystem;
using mediacap::temporary_file;
using test_support::names_in;
using test_support::read_file;

namespace {

class TemporaryFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_ = fs::absolute(fs::path("temporary_file_test.d") /
                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    fs::path folder_;
};

}  // namespace

TEST(FinalNameCandidate, NumbersGoBeforeTheExtensionWithin255Bytes)
{
    const std::string long_stem(300, 's');
    std::string accented;
    for (int i = 0; i < 200; ++i)
        accented += "\xc3\xa9";  // two bytes each
    struct {
        std::string path;
        unsigned number;
        std::string expected;
    } cases[] = {
        {"/d/a.jpg", 0, "/d/a.jpg"},
        {"/d/a.jpg", 2, "/d/a-2.jpg"},
        {"/d/kept-1", 1, "/d/kept-1-1"},
        {"/d/a.tar.gz", 1, "/d/a.tar-1.gz"},
        {"/d/.hidden", 1, "/d/.hidden-1"},
        {"/d.x/name", 3, "/d.x/name-3"},
        {"name.png", 1, "name-1.png"},
        {"/d/" + long_stem + ".jpg", 12, "/d/" + std::string(248, 's') + "-12.jpg"},
        {"/d/" + accented + ".png", 1, "/d/" + accented.substr(0, 248) + "-1.png"},
        {"/d/a." + std::string(300, 'x'), 1, "/d/-1." + std::string(252, 'x')},
    };
    for (const auto& c : cases) {
        const std::string got = mediacap::final_name_candidate(c.path, c.number);
        EXPECT_EQ(got, c.expected) << c.path.substr(0, 40) << " number " << c.number;
        EXPECT_LE(fs::path(got).filename().string().size(), 255u);
    }
}

TEST_F(TemporaryFile, PutInPlaceUnderTheFirstFreeNameAndNothingElse)
{
    for (const auto how : {temporary_file::naming::unnamed_first, temporary_file::naming::named}) {
        SCOPED_TRACE(how == temporary_file::naming::named ? "named" : "unnamed");
        std::ofstream(folder_ / "clip.mp4") << "first";
        std::ofstream(folder_ / "clip-1.mp4") << "second";
        temporary_file file((folder_ / "clip.mp4").string(), how);
        ASSERT_TRUE(file.good());
        ASSERT_TRUE(file.write("third", 5));
        EXPECT_EQ(file.size(), 5u);
        EXPECT_EQ(names_in(folder_).size(), how == temporary_file::naming::named ? 3u : 2u)
            << "only a named file shows while it is written";
        std::string path;
        ASSERT_EQ(file.publish(path), temporary_file::outcome::published);
        EXPECT_EQ(path, (folder_ / "clip-2.mp4").string());
        EXPECT_EQ(read_file(folder_ / "clip.mp4"), "first");
        EXPECT_EQ(read_file(folder_ / "clip-1.mp4"), "second");
        EXPECT_EQ(read_file(path), "third");
        EXPECT_EQ(names_in(folder_), (std::set<std::string>{"clip.mp4", "clip-1.mp4", "clip-2.mp4"}));

        // A file dropped before it is in place leaves nothing.
        { temporary_file dropped((folder_ / "clip.mp4").string(), how); }
        temporary_file discarded((folder_ / "clip.mp4").string(), how);
        discarded.discard();
        EXPECT_FALSE(discarded.write("x", 1));
        EXPECT_EQ(discarded.publish(path), temporary_file::outcome::write_failed);
        EXPECT_EQ(names_in(folder_).size(), 3u);
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
}

// A process that may not link a descriptor by itself (no right to search
// everything) links its unnamed files through /proc, the first and the next.
TEST_F(TemporaryFile, UnnamedFilesAreLinkedAlsoWithoutTheRightToSearchEverything_NeedsRoot)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to become another user";
    fs::permissions(folder_, fs::perms::all);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(2);
        for (const char* name : {"a.jpg", "b.jpg"}) {
            temporary_file file((folder_ / name).string());
            std::string path;
            if (!file.write("x", 1) || file.publish(path) != temporary_file::outcome::published)
                ::_exit(1);
        }
        ::_exit(0);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(names_in(folder_), (std::set<std::string>{"a.jpg", "b.jpg"}));
}

// The room above the free-space reserve from a file system's figures. One
// that reports no size (some FUSE ones) has no figures: it is written
// without a reserve rather than refused.
TEST(SpaceAboveReserve, ComesFromTheFiguresOfTheFileSystem)
{
    constexpr std::uint64_t MiB = 1 << 20, GiB = MiB << 10;
    struct {
        const char* name;
        unsigned long frsize, bsize;
        std::uint64_t blocks, available;
        std::optional<std::uint64_t> room;
    } cases[] = {
        {"5 % of a small disk", 4096, 4096, 25600, 12800, 50 * MiB - 5 * MiB},
        {"1 GiB of a large disk", 4096, 4096, 1 << 28, 1 << 20, 3 * GiB},
        {"less free than the reserve", 4096, 4096, 25600, 1000, 0},
        {"the block size when no fragment size", 0, 512, 204800, 204800, 95 * MiB},
        {"no size", 4096, 4096, 0, 0, std::nullopt},
        {"no size but free space", 4096, 4096, 0, 1000, std::nullopt},
        {"no block size", 0, 0, 1000, 1000, std::nullopt},
    };
    for (const auto& c : cases) {
        struct statvfs info {};
        info.f_frsize = c.frsize;
        info.f_bsize = c.bsize;
        info.f_blocks = c.blocks;
        info.f_bavail = c.available;
        EXPECT_EQ(mediacap::space_above_reserve(info), c.room) << c.name;
    }
}

// Where the file system gives no unnamed files the file has a hidden name; a
// process killed while writing leaves it, and the next start removes it (but
// never the file of a process that still runs).
TEST_F(TemporaryFile, PartialsOfAKilledProcessGoAtTheNextStart)
{
    const fs::path day = folder_ / "2026-01-01" / "site.example";
    fs::create_directories(day);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        temporary_file file((day / "a.jpg").string(), temporary_file::naming::named);
        file.write("partial", 7);
        (void)!::write(ready[1], "x", 1);
        ::pause();
        ::_exit(1);
    }
    char byte = 0;
    const bool written = ::read(ready[0], &byte, 1) == 1;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    ASSERT_TRUE(written);
    ASSERT_EQ(names_in(day).size(), 1u);
    EXPECT_EQ(names_in(day).begin()->rfind(mediacap::partial_prefix, 0), 0u);

    temporary_file running((folder_ / "b.jpg").string(), temporary_file::naming::named);
    EXPECT_EQ(mediacap::remove_stale_partials(folder_.string(), 1), 0u) << "not deep enough";
    EXPECT_EQ(mediacap::remove_stale_partials(folder_.string(), 2), 1u);
    EXPECT_TRUE(names_in(day).empty());
    EXPECT_EQ(names_in(folder_).size(), 2u) << "the running process's file stays";
    EXPECT_TRUE(mediacap::gives_unnamed_files(folder_.string())) << "the build folder's file system";
}
