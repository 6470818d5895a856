// The outermost layer of every device stack.  The product adds none; a
// test build links a definition of its own in place of this file.
#include "fslib/device.h"

std::unique_ptr<fsl::device> fsl::outer_layer(std::unique_ptr<device> d) { return d; }
