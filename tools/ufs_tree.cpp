// The in-memory tree of a UFS under construction (class Ufs, minus build).
#include "tools/sunimg.h"

namespace sunimg {

namespace {
void check_name(const std::string& name)
{
    if (name.empty())
        throw Error("empty file name");
    if (name.size() > 255)
        throw Error("file name longer than 255 bytes: " + name.substr(0, 40) + "...");
    if (name == "." || name == "..")
        throw Error("'" + name + "' is made by the builder itself");
    if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos)
        throw Error("file name with '/' or NUL: " + name);
}

uint16_t default_perm(uint16_t type)
{
    switch (type) {
    case kIFDIR: return 0755;
    case kIFREG: return 0644;
    case kIFLNK: return 0777;
    default: return 0666;
    }
}
}   // namespace

Ufs::Ufs(FsOptions opt) : opt_(std::move(opt))
{
    Node root;
    root.ino = kRootIno;
    root.mode = kIFDIR | 0755;
    root.uid = 0;
    root.gid = 0;
    Meta m;
    root.atime = m.atime;
    root.mtime = m.mtime;
    root.ctime = m.ctime;
    root.parent = kRootIno;
    nodes_[kRootIno] = root;
    if (opt_.lost_found) {
        uint32_t lf = mkdir(kRootIno, "lost+found", {.perm = 0700, .uid = 0, .gid = 0, .ino = 3});
        nodes_[lf].dir_min_size = uint32_t(opt_.bsize);
    }
}

Node& Ufs::node(uint32_t ino)
{
    auto it = nodes_.find(ino);
    if (it == nodes_.end())
        throw Error("no inode " + std::to_string(ino));
    return it->second;
}

const Node& Ufs::node(uint32_t ino) const
{
    auto it = nodes_.find(ino);
    if (it == nodes_.end())
        throw Error("no inode " + std::to_string(ino));
    return it->second;
}

uint32_t Ufs::take_ino(uint32_t want)
{
    if (want != 0) {
        if (want < 3)
            throw Error("inode numbers 0, 1 and 2 are reserved");
        if (nodes_.count(want))
            throw Error("inode " + std::to_string(want) + " is taken");
        return want;
    }
    while (nodes_.count(next_ino_))
        next_ino_++;
    return next_ino_++;
}

uint32_t Ufs::add_node(uint32_t parent, const std::string& name, uint16_t type, const Meta& m)
{
    entry_dir(parent, name);   // checks only: the table may move when the node goes in
    Node n;
    n.ino = take_ino(m.ino);
    n.mode = uint16_t(type | ((m.perm ? *m.perm : default_perm(type)) & 07777));
    n.uid = m.uid;
    n.gid = m.gid;
    n.atime = m.atime;
    n.mtime = m.mtime;
    n.ctime = m.ctime;
    n.nlink = m.nlink;
    n.flags = m.flags;
    n.gen = m.gen;
    n.parent = parent;
    n.names = 1;
    uint32_t ino = n.ino;
    nodes_[ino] = std::move(n);
    node(parent).entries.push_back({name, ino});
    return ino;
}

uint32_t Ufs::mkdir(uint32_t parent, const std::string& name, Meta m)
{
    return add_node(parent, name, kIFDIR, m);
}

uint32_t Ufs::add_file(uint32_t parent, const std::string& name, std::string_view content, Meta m)
{
    return add_file(parent, name, std::vector<uint8_t>(content.begin(), content.end()), m);
}

uint32_t Ufs::add_file(uint32_t parent, const std::string& name, std::vector<uint8_t> content, Meta m)
{
    uint32_t ino = add_node(parent, name, kIFREG, m);
    Node& n = node(ino);
    n.size = content.size();
    if (!content.empty())
        n.data.push_back({0, std::move(content)});
    return ino;
}

uint32_t Ufs::add_sparse(uint32_t parent, const std::string& name, uint64_t size, std::vector<Extent> data, Meta m)
{
    for (const auto& e : data)
        if (e.offset + e.data.size() > size)
            throw Error("extent at " + std::to_string(e.offset) + " runs past the file size");
    uint32_t ino = add_node(parent, name, kIFREG, m);
    Node& n = node(ino);
    n.size = size;
    n.data = std::move(data);
    return ino;
}

uint32_t Ufs::add_symlink(uint32_t parent, const std::string& name, const std::string& target, Meta m)
{
    uint32_t ino = add_node(parent, name, kIFLNK, m);
    Node& n = node(ino);
    n.size = target.size();
    if (!target.empty())
        n.data.push_back({0, std::vector<uint8_t>(target.begin(), target.end())});
    return ino;
}

uint32_t Ufs::add_fifo(uint32_t parent, const std::string& name, Meta m)
{
    return add_node(parent, name, kIFIFO, m);
}

uint32_t Ufs::add_socket(uint32_t parent, const std::string& name, Meta m)
{
    return add_node(parent, name, kIFSOCK, m);
}

uint32_t Ufs::add_chardev(uint32_t parent, const std::string& name, uint32_t rdev, Meta m)
{
    uint32_t ino = add_node(parent, name, kIFCHR, m);
    node(ino).rdev = rdev;
    return ino;
}

uint32_t Ufs::add_blockdev(uint32_t parent, const std::string& name, uint32_t rdev, Meta m)
{
    uint32_t ino = add_node(parent, name, kIFBLK, m);
    node(ino).rdev = rdev;
    return ino;
}

// The directory `parent`, ready to take a new entry `name`.
Node& Ufs::entry_dir(uint32_t parent, const std::string& name)
{
    check_name(name);
    Node& dir = node(parent);
    if ((dir.mode & kIFMT) != kIFDIR)
        throw Error("inode " + std::to_string(parent) + " is not a directory");
    for (const auto& e : dir.entries)
        if (e.name == name)
            throw Error("duplicate name '" + name + "' in directory " + std::to_string(parent));
    return dir;
}

void Ufs::link(uint32_t parent, const std::string& name, uint32_t ino)
{
    node(ino);   // must exist
    entry_dir(parent, name).entries.push_back({name, ino});
    node(ino).names++;
}

void Ufs::add_entry(uint32_t parent, const std::string& name, uint32_t ino)
{
    entry_dir(parent, name).entries.push_back({name, ino, true});
}

// The non-empty components of a path, in order.
static std::vector<std::string> components(std::string_view path)
{
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos)
            j = path.size();
        if (j > i)
            parts.emplace_back(path.substr(i, j - i));
        i = j + 1;
    }
    return parts;
}

std::pair<uint32_t, std::string> Ufs::parent_of(std::string_view path, bool create)
{
    std::vector<std::string> parts = components(path);
    if (parts.empty())
        throw Error("path names the root: '" + std::string(path) + "'");
    uint32_t cur = kRootIno;
    for (size_t k = 0; k + 1 < parts.size(); k++) {
        uint32_t next = 0;
        for (const auto& e : node(cur).entries)
            if (e.name == parts[k])
                next = e.ino;
        if (next == 0) {
            if (!create)
                return {0, {}};
            next = mkdir(cur, parts[k]);
        } else if ((node(next).mode & kIFMT) != kIFDIR) {
            throw Error("'" + parts[k] + "' in '" + std::string(path) + "' is not a directory");
        }
        cur = next;
    }
    return {cur, parts.back()};
}

uint32_t Ufs::dir(std::string_view path, Meta m)
{
    bool all_slash = path.find_first_not_of('/') == std::string_view::npos;
    if (all_slash)
        return kRootIno;
    auto [parent, name] = parent_of(path, true);
    for (const auto& e : node(parent).entries)
        if (e.name == name) {
            if ((node(e.ino).mode & kIFMT) != kIFDIR)
                throw Error("'" + std::string(path) + "' is not a directory");
            return e.ino;
        }
    return mkdir(parent, name, m);
}

uint32_t Ufs::file(std::string_view path, std::string_view content, Meta m)
{
    auto [parent, name] = parent_of(path, true);
    return add_file(parent, name, content, m);
}

uint32_t Ufs::file(std::string_view path, std::vector<uint8_t> content, Meta m)
{
    auto [parent, name] = parent_of(path, true);
    return add_file(parent, name, std::move(content), m);
}

uint32_t Ufs::symlink(std::string_view path, const std::string& target, Meta m)
{
    auto [parent, name] = parent_of(path, true);
    return add_symlink(parent, name, target, m);
}

uint32_t Ufs::lookup(std::string_view path) const
{
    uint32_t cur = kRootIno;
    for (const std::string& part : components(path)) {
        const Node& n = node(cur);
        if ((n.mode & kIFMT) != kIFDIR)
            return 0;
        uint32_t next = 0;
        if (part == ".")
            next = cur;
        else if (part == "..")
            next = n.parent;
        else
            for (const auto& e : n.entries)
                if (e.name == part)
                    next = e.ino;
        if (next == 0)
            return 0;
        cur = next;
    }
    return cur;
}

}   // namespace sunimg
