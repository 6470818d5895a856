// MD5 message digest (RFC 1321), for the body command's checksum field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class md5 {
public:
    md5();
    void update(const uint8_t* data, size_t len);
    // The digest as 32 lower-case hex digits; the object is spent.
    std::string hex();

private:
    void block(const uint8_t* p);
    uint32_t s_[4];
    uint64_t total_ = 0;    // bytes fed so far
    uint8_t pending_[64];   // the bytes of an unfinished block
};
