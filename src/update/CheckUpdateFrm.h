#pragma once

#include <QDialog>

/// The update window. Its modal result 6 means its Weblink button was used.
class TCheckUpdateForm final : public QDialog
{
    Q_OBJECT

public:
    static constexpr int WeblinkResult = 6;
    explicit TCheckUpdateForm(QWidget *owner);
};
