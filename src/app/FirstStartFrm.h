#pragma once

#include <QDialog>

class QPushButton;

/// The window of a first start: shown by an installed program that has no pack beside it and
/// none in the recent list. It says what a pack is and offers to open a pack folder, to try
/// the sample pack, or to quit.
class TFirstStartForm final : public QDialog
{
    Q_OBJECT

public:
    /// The dialog's results, beside QDialog::Rejected (closed, the same as Quit).
    enum Result { OpenPackResult = 2, TrySampleResult = 3 };

    /// @p sampleAvailable: whether a sample pack is installed to try.
    explicit TFirstStartForm(bool sampleAvailable, QWidget *parent = nullptr);

    void btnOpenPackClick() { done(OpenPackResult); }
    void btnTrySampleClick() { done(TrySampleResult); }
    void btnQuitClick() { reject(); }
};
