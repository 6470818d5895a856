// Internal to the builder: file-system geometry, the fragment allocator and
// the per-inode plans shared by ufs_geometry.cpp, ufs_build.cpp and
// ufs_meta.cpp.
#pragma once

#include <array>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tools/sunimg.h"

namespace sunimg::detail {

inline constexpr int kMaxFrag = 8;   // UFS limit on bsize/fsize (cg_frsum[8])
inline constexpr int kMaxFragLoose = 16;   // accepted anyway (8192/512), see FsOptions

inline int64_t howmany(int64_t a, int64_t b)
{
    return (a + b - 1) / b;
}
inline int64_t roundup(int64_t a, int64_t b)
{
    return howmany(a, b) * b;
}

// Whether a set of parameters makes a file system, and if not, why.
enum class Fit {
    ok,
    bad_options,   // no cylinder count can help
    group_too_small,   // a group cannot hold its own metadata
    last_group_too_small,   // only the last, partial group cannot
};

// The parts of the superblock computation that do not depend on content.
struct Geo {
    Super sb{};
    Fit fit = Fit::ok;
    std::string why{};   // with fit != ok
    int64_t free_frags = 0;   // data fragments free before any content
    int64_t free_blocks = 0;   // of which in whole blocks
};

Geo compute_geo(const FsOptions& o, const Geometry& g, int32_t ncyl);

// Fragment numbers of cylinder group c (absolute in the file system).
struct CgRange {
    int64_t base;   // first fragment of the group
    int64_t lower_end;   // groups > 0: [base, lower_end) is free data
    int64_t data_start;   // first fragment after inodes (and summary in cg 0)
    int64_t end;   // one past the last fragment of the group
};
CgRange cg_range(const Super& s, int64_t c);
uint32_t cgstart(const Super& s, int64_t c);

// One logical block of an inode and the fragments it holds.
struct PlanBlock {
    int64_t lbn;
    uint32_t nfrags;
};

// Everything about one inode that the layout needs, before placement.
struct Prep {
    const Node* node = nullptr;
    uint64_t size = 0;   // bytes laid out
    std::vector<Extent> owned{};   // directory bytes
    const std::vector<Extent>* data = nullptr;   // content extents
    std::vector<PlanBlock> blocks{};
    std::vector<DirentRef> refs{};
    int16_t nlink = 0;
    bool fast_link = false;   // target kept in di_db/di_ib
};

// Fragment allocator over the whole file system: whole blocks first-fit,
// fragment runs packed into the current partly used block.
class Alloc {
public:
    explicit Alloc(const Super& s) : s_(s), free_(size_t(s.size), 0) {}
    void set_free(int64_t f) { free_[size_t(f)] = 1; }
    uint32_t block();
    uint32_t frags(uint32_t n);
    const std::vector<uint8_t>& map() const { return free_; }

private:
    bool run_free(int64_t first, int64_t n) const;
    void take(int64_t first, int64_t n, uint8_t v);

    const Super& s_;
    std::vector<uint8_t> free_;   // 1 = free, per fragment
    int64_t bcur_ = 0;
    int64_t fblk_ = -1;
};

// Lays the prepared inodes out and writes every byte of the file system.
class Builder {
public:
    Builder(const FsOptions& o, const Super& sb, std::vector<Prep>& preps, std::set<uint32_t> dirs)
        : o_(o), s_(sb), preps_(preps), dirs_(std::move(dirs)), alloc_(s_)
    {}

    FsImage run(int32_t part_ncyl);

private:
    struct Ptrs;
    void init_free_map();
    std::pair<uint32_t*, uint64_t> slot_for(Ptrs& p, uint64_t inode_off, int64_t lbn);
    void place(Prep& p, InodeInfo& info);
    void copy_content(const Prep& p, const InodeInfo& info);
    void write_inode(const Prep& p, const InodeInfo& info, const Ptrs& ptrs);
    void write_owner(uint8_t* d, const Node& n) const;
    std::array<int32_t, 4> write_cg(int64_t c, const std::set<uint32_t>& used_inos);
    void write_summary(const std::vector<std::array<int32_t, 4>>& cs);
    std::vector<uint8_t> encode_super() const;
    void write_super_copies(const std::vector<uint8_t>& sb);
    uint8_t* at(uint64_t off, size_t n);

    const FsOptions& o_;
    Super s_;
    std::vector<Prep>& preps_;
    std::set<uint32_t> dirs_;
    Alloc alloc_;
    FsImage img_;
};

}   // namespace sunimg::detail
