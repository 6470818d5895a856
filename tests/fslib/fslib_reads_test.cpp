// Device reads stay in proportion to the image: a file's blocks are read
// once each with each indirect block once, and the inodes of one block
// cost one read however many entries name them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fslib/fslib.h"
#include "support/dev_fault.h"
#include "support/mounted.h"
#include "tools/sunimg.h"

namespace {

class Reads : public testimg::LibraryTest {};

TEST_F(Reads, EachBlockAndInodeBlockIsReadAboutOnce)
{
    sunimg::Ufs t;
    t.file("/hundred", sunimg::pattern(100 * 8192, 5));   // 12 direct + 88 under one indirect block
    uint32_t many = t.dir("/many");
    for (int i = 0; i < 300; i++)
        t.add_file(many, "f" + std::to_string(i), "x");
    testimg::Mounted m(sunimg::make_disk(t));
    ASSERT_TRUE(m.ok());

    struct Case {
        const char* what;
        bool file;       // read the file, or list the directory with each entry's status
        uint64_t most;   // device reads allowed
    } const cases[] = {
        {"100-block file, block by block", true, 100 + 1},
        {"300 entries, each one's status", false, 300 / 64 + 2 + 4},   // inode blocks + directory blocks
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint64_t before = 0;
        if (c.file) {
            FS_FILE* f = fs_fopen("/hundred", "rb");
            ASSERT_NE(f, nullptr);
            before = fsl::dev_reads;
            std::vector<uint8_t> buf(8192);
            uint64_t total = 0;
            while (uint32_t n = fs_fread(buf.data(), 1, uint32_t(buf.size()), f))
                total += n;
            EXPECT_EQ(total, 100u * 8192u);
            EXPECT_TRUE(fs_fclean(f));
            fs_fclose(f);
        } else {
            before = fsl::dev_reads;
            FS_FILE* d = fs_opendir("/many");
            ASSERT_NE(d, nullptr);
            int entries = 0;
            while (direct* e = fs_readdir(d)) {
                fs_statrec st;
                EXPECT_EQ(fs_istat(e->d_ino, &st), 0);
                entries++;
            }
            EXPECT_EQ(entries, 302);
            fs_closedir(d);
        }
        EXPECT_LE(fsl::dev_reads - before, c.most);
    }
}

}  // namespace
