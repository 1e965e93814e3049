#pragma once

#include <QString>

namespace platform {

/// Opens @p address in the user's web browser when it is an absolute http or https address
/// and returns true; any other value (a local path, file:, a script scheme, "Undef") opens
/// nothing and returns false.
bool openWebAddress(const QString &address);

} // namespace platform
