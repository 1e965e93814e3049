#pragma once

#include <QDialog>

/// "Processing Changes...": the modal dialog that stays up for the option's delay while its
/// first script runs hidden, then closes itself.
class TApplyForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TApplyForm(QWidget *owner);
};
