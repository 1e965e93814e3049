#pragma once

#include <sys/types.h>

namespace platform {

/// Opens @p path (relative, components separated by '/') below the folder held open as
/// @p folder, following no symbolic link on the way or at its end and never leaving the
/// folder: a link anywhere on the path fails with ELOOP, a ".." or an absolute path with EXDEV.
/// @p flags are open(2) flags. Returns the descriptor, or -1 with errno set. Where the kernel
/// lacks openat2 (before Linux 5.6) each component is opened in turn without following links.
int openBeneath(int folder, const char *path, int flags, mode_t mode = 0);

} // namespace platform
