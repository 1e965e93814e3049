#pragma once

#include <QDialog>

/// The themes window, reached only through the hidden Themes menu entry.
class TThemesForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TThemesForm(QWidget *owner);
};

/// The theme Save-As dialog.
class TThemesSaveAsForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TThemesSaveAsForm(QWidget *owner);
};

/// The progress window meant for applying a theme; created with the others, never shown.
class TApplyThemeForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TApplyThemeForm(QWidget *owner);
};
