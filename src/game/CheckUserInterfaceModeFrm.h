#pragma once

#include <QDialog>

/// "Check User Interface Mode": names the game's interface mode and offers to set it to CUSTOM.
class TCheckUserInterfaceModeForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TCheckUserInterfaceModeForm(QWidget *owner);
};
