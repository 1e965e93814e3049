#pragma once

#include <dirent.h>
#include <sys/types.h>

namespace platform {

/// getdents64's record; glibc declares the call but not the record.
struct LinuxDirent64
{
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

} // namespace platform
