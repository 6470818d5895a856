#include "support/containers.h"

#include <filesystem>
#include <stdexcept>

#include "support/oracle.h"

namespace testimg {

const std::vector<ContainerFormat>& container_formats()
{
    static const std::vector<ContainerFormat> formats = {
        {"qcow2", "qemu-img", {"-O", "qcow2"}},
        {"VHD", "qemu-img", {"-O", "vpc", "-o", "force_size=on"}},
        {"VHD", "qemu-img", {"-O", "vpc", "-o", "subformat=fixed,force_size=on"}},
        {"VHDX", "qemu-img", {"-O", "vhdx"}},
        {"VMDK", "qemu-img", {"-O", "vmdk"}},
        {"VMDK", "qemu-img", {"-O", "vmdk", "-o", "subformat=streamOptimized"}},
        {"E01", "ewfacquire", {"ewf"}},
    };
    return formats;
}

std::string make_container(const std::string& raw, const ContainerFormat& f, const std::string& dir)
{
    std::filesystem::create_directories(dir);
    oracle::Result r;
    std::string path;
    if (f.args[0] == "ewf") {
        // Segments of the smallest size the writer allows, so that even a
        // small disk spans several of them.
        path = dir + "/disk.E01";
        r = oracle::run_tool({"ewfacquire", "-u", "-q", "-c", "empty-block", "-S", "1MiB", "-t", dir + "/disk", raw});
    } else {
        path = dir + "/disk.img";
        std::vector<std::string> argv = {"qemu-img", "convert", "-f", "raw"};
        argv.insert(argv.end(), f.args.begin(), f.args.end());
        argv.push_back(raw);
        argv.push_back(path);
        r = oracle::run_tool(argv);
    }
    if (r.status != 0 || !std::filesystem::exists(path))
        throw std::runtime_error(std::string(f.tool) + " failed: " + r.out + r.err);
    // Copied with plain writes: the host may still move the holes of what
    // the writers allocate ahead about for a while, and the runs check that
    // images keep theirs.
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        files.push_back(e.path().string());
    for (const std::string& file : files) {
        oracle::run_tool({"cp", "--sparse=always", file, file + ".tmp"});
        std::filesystem::rename(file + ".tmp", file);
    }
    return path;
}

}  // namespace testimg
