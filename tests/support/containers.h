// Copies of a raw disk image in the containers people keep images in,
// written by the formats' own tools (qemu-img, ewfacquire).
#pragma once

#include <string>
#include <vector>

namespace testimg {

struct ContainerFormat {
    const char* name;                 // as the container line names it
    const char* tool;                 // the writer needed
    std::vector<std::string> args;    // qemu-img convert's -O and -o, or "ewf"
};

// The formats the tests convert to: qcow2, VHD dynamic and fixed, VHDX,
// VMDK monolithic sparse and stream-optimized, and E01 split into segments.
const std::vector<ContainerFormat>& container_formats();

// Writes `raw` in format `f` into directory `dir` and returns the path the
// disk is opened by (the first segment for E01).  Throws on failure.
std::string make_container(const std::string& raw, const ContainerFormat& f, const std::string& dir);

}  // namespace testimg
