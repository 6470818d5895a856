// Fuzz target: the label and the mount of every partition, with the label,
// superblock and root inode dumps.
#include <cstddef>
#include <cstdint>

#include "fslib/internal.h"
#include "fuzz/fuzz_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::MemDisk disk(data, size);
    if (disk.get() == nullptr)
        return 0;
    FILE* out = fuzz::null_out();
    dump_label(out, disk.get()->label);
    for (int part = 0; part < NDKMAP; part++) {
        fsys* fs = fs_mount(disk.get(), part, FS_MNT_ANYPART);
        if (fs == nullptr)
            continue;
        dump_super(out, fs->sb);
        fs_setfs(fs);
        fs_statrec st{};
        if (fs_istat(ROOT_INO, &st) == 0)
            dump_stat(out, &st);
        alignas(8) static uint8_t buffer[IBUFSIZE];
        dinode* ip = nullptr;
        if (fs_iget(fs, ROOT_INO, buffer, &ip) == 0 && ip != nullptr)
            dump_inode(out, ip);
        fs_umount(fs);
    }
    return 0;
}
