#pragma once

/// Whether the player hid the strip of preview pictures, as remembered between runs. It is the
/// player's own choice, so it lives in Varimond's state folder (platform::varimondStateFolder()
/// + "/previews", a line "strip=hidden" or "strip=shown"), never in a pack or its settings.
namespace previews {

/// True when the player hid the strip; false when nothing (or nothing readable) was saved. The
/// file is read only when it is a small regular file reached without a link at its end.
bool stripHiddenByPlayer();

/// Saves @p hidden in one step (a temporary file renamed over the old one), making the state
/// folder when it is missing; false when that fails.
bool rememberStripHidden(bool hidden);

} // namespace previews
