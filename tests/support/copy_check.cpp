#include "support/copy_check.h"

namespace testimg {

bool reported_lost(const std::string& err, std::string path)
{
    for (;;) {
        for (const char* what : {": incomplete", ": failed", ": Read error", ": Seek error", ": directory bytes"})
            if (err.find(path + what) != std::string::npos)
                return true;
        size_t cut = path.rfind('/');
        if (cut == std::string::npos || path == "/")
            return false;
        path = cut == 0 ? "/" : path.substr(0, cut);
    }
}

}  // namespace testimg
