#include "support/dev_fault.h"

#include "fslib/device.h"

namespace fsl {

int32_t dev_lastread = 0;
uint64_t dev_reads = 0;

namespace {

struct fault_plan {
    uint64_t left = 0;
    dev_fault_kind kind = dev_fault_kind::none;
};
fault_plan fault;

// True when this call is the one the plan names; the plan is then spent.
bool fault_hits(bool seek_call)
{
    if (fault.kind == dev_fault_kind::none || (fault.kind == dev_fault_kind::seek) != seek_call)
        return false;
    if (--fault.left != 0)
        return false;
    return true;
}

class fault_layer final : public layer {
public:
    using layer::layer;

    int read(int64_t offset, void* buf, uint32_t count, uint32_t* got, sector_list* failed) override
    {
        *got = 0;
        if (offset >= 0 && fault_hits(true)) {
            fault.kind = dev_fault_kind::none;
            return FSE_SEEK;
        }
        dev_fault_kind injected = dev_fault_kind::none;
        if (offset >= 0 && (size() == 0 || offset <= size())) {
            ++dev_reads;
            if (fault_hits(false)) {
                injected = fault.kind;
                fault.kind = dev_fault_kind::none;
            }
        }
        int rc = FSE_READ;
        if (injected == dev_fault_kind::zero) {
            rc = FSE_OK;
        } else if (injected == dev_fault_kind::half && count > 1) {
            // A short transfer, and the rest asked for as a caller would.
            uint32_t first = 0;
            uint32_t rest = 0;
            rc = lower->read(offset, buf, count / 2, &first, failed);
            if (rc == FSE_OK && first == count / 2)
                rc = lower->read(offset + first, static_cast<unsigned char*>(buf) + first, count - first, &rest, failed);
            *got = first + rest;
        } else if (injected != dev_fault_kind::error) {
            rc = lower->read(offset, buf, count, got, failed);
        }
        dev_lastread = rc == FSE_READ && failed->empty() ? -1 : static_cast<int32_t>(*got);
        return rc;
    }
};

}  // namespace

void dev_fault_set(uint64_t nth, dev_fault_kind kind)
{
    fault.left = nth;
    fault.kind = nth == 0 ? dev_fault_kind::none : kind;
}

void dev_fault_clear() { fault = fault_plan{}; }

std::unique_ptr<device> outer_layer(std::unique_ptr<device> d)
{
    return std::unique_ptr<device>(new fault_layer(std::move(d)));
}

}  // namespace fsl
