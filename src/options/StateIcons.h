#pragma once

#include <QIcon>

/// The sixteen 16 × 16 state icons of the option tree (image N for state N; state 0 shows
/// none) and the glyphs of the tree's and the browser's flat buttons, drawn as SVG.
namespace StateIcons {

constexpr int Count = 16;

/// Image @p index of the image list (0 to 15).
QIcon Image(int index);
/// The icon a node in @p state shows: none for state 0 and for states outside 1 to 10.
QIcon ForState(int state);

enum GlyphId { GlyphExpand, GlyphCollapse, GlyphPreviousPage, GlyphNextPage, GlyphStop,
               GlyphRefresh, GlyphHome };
QIcon Glyph(GlyphId id);

} // namespace StateIcons
