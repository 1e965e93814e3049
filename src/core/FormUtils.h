#pragma once

class QFont;
class QWidget;

/// Places @p window centred over @p owner: left := owner's left + (owner's width − own width)
/// / 2, top likewise, the divisions truncating toward zero. Frame geometry is used, as the
/// window rectangles of the desktop are.
void CentreOver(QWidget *window, const QWidget *owner);

/// Gives a window whose caption is empty a blank title bar once it has a window handle: the
/// window system would otherwise put the application's name in place of an empty caption.
/// The widget's own caption stays empty.
void ShowEmptyCaption(QWidget *window);

/// The platform's newer form and text fonts. This platform has no such fonts to switch to: the
/// default Qt font stands in, so both leave the font as it is.
bool IsWindowsVista();
void SetVistaFormFont(QFont &font);
void SetVistaMemoFont(QFont &font);
